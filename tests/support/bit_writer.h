// Test-only writer of least-significant-bit-first bit streams, the order in
// which the engine's reader takes them, with the canonical-code helpers that
// hand-built deflate streams need.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testutil {

class BitWriter {
public:
    // The low `count` bits of `value`, lowest first (header fields, extra bits).
    BitWriter& Bits(uint32_t value, int count) {
        for (int i = 0; i < count; i++) PutBit((value >> i) & 1);
        return *this;
    }
    // A prefix code, given most significant bit first as RFC 1951 writes
    // codes: its first bit goes out first.
    BitWriter& Code(uint32_t code, int length) {
        for (int i = length - 1; i >= 0; i--) PutBit((code >> i) & 1);
        return *this;
    }
    // Zero bits up to the next byte boundary.
    BitWriter& Align() {
        while (bitCount_ != 0) PutBit(0);
        return *this;
    }
    BitWriter& Byte(uint8_t value) { return Bits(value, 8); }
    BitWriter& Bytes(const std::vector<uint8_t>& values) {
        for (uint8_t v : values) Byte(v);
        return *this;
    }
    // The stream so far; a partial last byte is padded with zeros.
    std::vector<uint8_t> Finish() const { return bytes_; }
    size_t BitLength() const { return bytes_.size() * 8 - (bitCount_ == 0 ? 0 : 8 - bitCount_); }

private:
    void PutBit(uint32_t bit) {
        if (bitCount_ == 0) bytes_.push_back(0);
        bytes_.back() = static_cast<uint8_t>(bytes_.back() | (bit << bitCount_));
        bitCount_ = (bitCount_ + 1) & 7;
    }
    std::vector<uint8_t> bytes_;
    int bitCount_ = 0;  // bits used in the last byte, 0 = it is full
};

// The canonical codes of RFC 1951, 3.2.2 (most significant bit first) for the
// given lengths; symbols of length 0 get no code (0).
inline std::vector<uint32_t> CanonicalCodes(const std::vector<uint16_t>& lengths) {
    int maxLength = 0;
    for (uint16_t l : lengths)
        if (l > maxLength) maxLength = l;
    std::vector<uint32_t> perLength(maxLength + 2, 0);
    for (uint16_t l : lengths)
        if (l != 0) perLength[l]++;
    std::vector<uint32_t> next(maxLength + 2, 0);
    uint32_t code = 0;
    for (int len = 1; len <= maxLength; len++) {
        code = (code + perLength[len - 1]) << 1;
        next[len] = code;
    }
    std::vector<uint32_t> codes(lengths.size(), 0);
    for (size_t s = 0; s < lengths.size(); s++)
        if (lengths[s] != 0) codes[s] = next[lengths[s]]++;
    return codes;
}

// A code (most significant bit first) as the reader sees it: first bit in bit 0.
inline uint32_t ReverseCode(uint32_t code, int length) {
    uint32_t r = 0;
    for (int i = 0; i < length; i++) r |= ((code >> i) & 1) << (length - 1 - i);
    return r;
}

}  // namespace testutil
