// The fuzz input as a stream of little-endian fields. Reading past the end yields zeros, so a
// truncated input still decodes into a complete (if dull) sequence of requests, and every
// decoder stays total.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return pos_ >= size_; }
    size_t Left() const { return pos_ < size_ ? size_ - pos_ : 0; }

    uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
    uint16_t U16() { return uint16_t(U8() | U8() << 8); }
    uint32_t U32() { return uint32_t(U16()) | uint32_t(U16()) << 16; }

    // `count` bytes, zero-padded where the input runs out.
    std::vector<uint8_t> Bytes(size_t count) {
        size_t n = count < Left() ? count : Left();
        std::vector<uint8_t> out(data_ + pos_, data_ + pos_ + n);
        out.resize(count, 0);
        pos_ += n;
        return out;
    }

    // A length field: one byte picks a small length directly, or 0xFF then a 16-bit length,
    // so both the common sizes and the odd large ones are a short mutation away.
    uint32_t Length() {
        uint8_t b = U8();
        return b == 0xFF ? U16() : b;
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t pos_ = 0;
};

// The writing side, for the seed generator: the same fields in the same order.
class FuzzOutput {
public:
    void U8(uint8_t v) { bytes_.push_back(v); }
    void U16(uint16_t v) {
        U8(uint8_t(v));
        U8(uint8_t(v >> 8));
    }
    void U32(uint32_t v) {
        U16(uint16_t(v));
        U16(uint16_t(v >> 16));
    }
    void Bytes(const void* p, size_t n) {
        auto* b = static_cast<const uint8_t*>(p);
        bytes_.insert(bytes_.end(), b, b + n);
    }
    void Length(uint32_t n) {
        if (n < 0xFF) {
            U8(uint8_t(n));
        } else {
            U8(0xFF);
            U16(uint16_t(n));
        }
    }
    const std::vector<uint8_t>& Data() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
};
