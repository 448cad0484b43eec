// BuildDecodeTable over arbitrary length lists, with the shapes its two
// callers use: inflate's literal/length, distance and code-length codes
// (with and without base tables) and explode's trees, at every root width.
// Every complete or accepted incomplete table is then walked: each code of
// the list must decode, through the reading rule, to its own symbol.
#include <cstring>

#include "codecs/codecs.h"
#include "fuzz/fuzz_support.h"

namespace {

// Follows the table with the code's bits, first bit first, as the decoders
// do; returns the entry reached (null when a link leads nowhere).
const DecodeEntry* Lookup(const DecodeEntry* table, int32_t rootBits, uint32_t bits) {
    const DecodeEntry* e = &table[bits & ((1u << rootBits) - 1)];
    uint32_t used = 0;
    while (e->Op > OpLiteral && e->Op != OpInvalid) {
        used += e->Bits;
        if (e->SubTable == nullptr) return nullptr;
        uint32_t width = e->Op - OpLiteral;
        e = &e->SubTable[(bits >> used) & ((1u << width) - 1)];
    }
    return e;
}

uint32_t Reverse(uint32_t code, int length) {
    uint32_t r = 0;
    for (int i = 0; i < length; i++) r |= ((code >> i) & 1u) << (length - 1 - i);
    return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    // Byte 0: symbol count (1..288); byte 1: simple count; byte 2: root bits
    // (1..16) and whether base tables are given; then one length per byte,
    // 0..17 (17 is out of range on purpose), 0 when the input ends.
    uint16_t count = static_cast<uint16_t>(1 + (data[0] + ((data[2] & 0x80) ? 256 : 0)) % 288);
    int32_t lookupBits = 1 + (data[2] & 0x0F);
    bool withBases = (data[2] & 0x40) != 0;
    // Without base tables every symbol is a plain one, as for explode and
    // the code-length code.
    uint16_t simpleCount = withBases ? static_cast<uint16_t>(data[1] % (count + 1)) : count;
    uint16_t lengths[288];
    uint16_t bases[288];
    uint16_t extras[288];
    for (uint16_t i = 0; i < count; i++) {
        lengths[i] = 3u + i < size ? data[3 + i] % 18 : 0;
        bases[i] = static_cast<uint16_t>(3 + i * 2);
        extras[i] = static_cast<uint16_t>(i % 14);
    }
    DecodeEntry* table = nullptr;
    int32_t bits = lookupBits;
    TableResult r = BuildDecodeTable(lengths, count, simpleCount, withBases ? bases : nullptr,
                                     withBases ? extras : nullptr, &table, &bits);
    fuzzing::Check(r >= TableComplete && r <= TableNoMemory, "unknown table result");
    if (r == TableBadLengths || r == TableNoMemory) {
        fuzzing::Check(table == nullptr, "a failed build handed out a table");
        return 0;
    }
    if (table != nullptr) {
        fuzzing::Check(bits >= 1 && bits <= 16, "root width out of range");
        // Canonical codes from the lengths (RFC 1951, 3.2.2).
        uint32_t lengthCount[17] = {};
        for (uint16_t i = 0; i < count; i++) lengthCount[lengths[i]]++;
        lengthCount[0] = 0;
        uint32_t next[17] = {};
        uint32_t code = 0;
        for (int len = 1; len <= 16; len++) {
            code = (code + lengthCount[len - 1]) << 1;
            next[len] = code;
        }
        for (uint16_t sym = 0; sym < count; sym++) {
            int len = lengths[sym];
            if (len == 0) continue;
            uint32_t arrival = Reverse(next[len]++, len);
            const DecodeEntry* e = Lookup(table, bits, arrival);
            fuzzing::Check(e != nullptr && e->Op != OpInvalid, "a code of the list does not decode");
            if (!withBases || sym < simpleCount) {
                fuzzing::Check(e->Value == sym, "a code decodes to another symbol");
            } else {
                fuzzing::Check(e->Value == bases[sym - simpleCount], "a code decodes to another base");
            }
        }
    }
    FreeDecodeTable(table);
    return 0;
}
