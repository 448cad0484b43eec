// A test-only writer of least-significant-bit-first bit streams, for
// crafting decoder input one commented field at a time.
#pragma once

#include <cstdint>
#include <vector>

class BitWriter {
public:
    // Appends the low `count` bits of `value` (count 0..32), first bit first.
    void Put(uint32_t value, int count) {
        for (int i = 0; i < count; i++) {
            if (bitPos_ == 0) bytes_.push_back(0);
            if ((value >> i) & 1u) bytes_.back() |= static_cast<uint8_t>(1u << bitPos_);
            bitPos_ = (bitPos_ + 1) & 7;
        }
    }
    // Appends a whole byte at the next byte boundary.
    void PutByte(uint8_t b) {
        bitPos_ = 0;
        bytes_.push_back(b);
    }
    // Pads the last byte with zero bits.
    void Align() { bitPos_ = 0; }
    uint64_t BitLength() const { return bytes_.size() * 8 - (bitPos_ == 0 ? 0 : 8 - bitPos_); }
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    int bitPos_ = 0;  // next bit in the last byte; 0 = start a new byte
};
