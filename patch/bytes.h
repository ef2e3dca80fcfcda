// Little-endian integers in a byte buffer: a writer, and a bounds-checked reader whose every read
// either fits or fails, for the patch file and the codecs' own headers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace qvpatch {

class ByteWriter {
public:
    void U8(std::uint8_t v) { out.push_back(v); }
    void U16(std::uint16_t v) { Le(v, 2); }
    void U32(std::uint32_t v) { Le(v, 4); }
    void U64(std::uint64_t v) { Le(v, 8); }
    void Bytes(const void* p, std::size_t n)
    {
        const auto* b = static_cast<const std::uint8_t*>(p);
        out.insert(out.end(), b, b + n);
    }
    std::vector<std::uint8_t> out;

private:
    void Le(std::uint64_t v, int n)
    {
        for (int i = 0; i < n; ++i)
            out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
};

// The reader: every read either fits or fails, and leaves the cursor where it was when it fails.
class ByteReader {
public:
    ByteReader(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
    bool U8(std::uint8_t* v) { return Le(v, 1); }
    bool U16(std::uint16_t* v) { return Le(v, 2); }
    bool U32(std::uint32_t* v) { return Le(v, 4); }
    bool U64(std::uint64_t* v) { return Le(v, 8); }
    bool Bytes(void* dst, std::size_t n)
    {
        if (n > n_ - pos_)
            return false;
        if (n == 0)
            return true;  // dst may be the null data of an empty buffer
        std::memcpy(dst, p_ + pos_, n);
        pos_ += n;
        return true;
    }
    bool Skip(std::size_t n)
    {
        if (n > n_ - pos_)
            return false;
        pos_ += n;
        return true;
    }
    std::size_t position() const { return pos_; }
    std::size_t left() const { return n_ - pos_; }

private:
    template <typename T>
    bool Le(T* v, std::size_t n)
    {
        if (n > n_ - pos_)
            return false;
        std::uint64_t x = 0;
        for (std::size_t i = 0; i < n; ++i)
            x |= static_cast<std::uint64_t>(p_[pos_ + i]) << (8 * i);
        *v = static_cast<T>(x);
        pos_ += n;
        return true;
    }
    const std::uint8_t* p_;
    std::size_t n_;
    std::size_t pos_ = 0;
};

}  // namespace qvpatch
