// The engine's large buffers: advice to the system on them, and bit maps that start as zeros.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

namespace qvpatch {

// Asks that a buffer of many MiB, not yet written, be backed by large pages where the system
// offers them: each page the buffer's first writes touch then costs one fault, not 512. Only
// advice: nothing changes where the system takes none.
void AdviseLargeBuffer(void* data, std::size_t size);

// An allocator whose elements start as whatever the memory held, for bytes always written before
// they are read: a vector grown with it writes nothing.
template <class T>
struct Unwritten : std::allocator<T> {
    template <class U>
    struct rebind {
        using other = Unwritten<U>;
    };
    Unwritten() = default;
    template <class U>
    Unwritten(const Unwritten<U>&) noexcept
    {
    }
    template <class U>
    void construct(U* p) noexcept(std::is_nothrow_default_constructible<U>::value)
    {
        ::new (static_cast<void*>(p)) U;
    }
    template <class U, class... Args>
    void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
using UnwrittenBytes = std::vector<std::uint8_t, Unwritten<std::uint8_t>>;

// Writes a byte in each page of a buffer not written yet, so that the system makes its pages now,
// on this thread, rather than where the buffer is first used.
inline void TouchPages(std::uint8_t* data, std::size_t size)
{
    for (std::size_t i = 0; i < size; i += 4096)
        data[i] = 0;
}

// 64-bit words that start as zeros. A large block comes from the system zeroed (calloc), so no
// pass clears it: each page is made as it is first touched, by whoever touches it.
class ZeroedWords {
public:
    // Throws std::bad_alloc.
    explicit ZeroedWords(std::size_t count = 0)
        : words_(static_cast<std::uint64_t*>(std::calloc(count == 0 ? 1 : count, sizeof(std::uint64_t)))), count_(count)
    {
        if (!words_)
            throw std::bad_alloc();
        AdviseLargeBuffer(words_.get(), count * sizeof(std::uint64_t));
    }
    std::uint64_t& operator[](std::size_t i) { return words_[i]; }
    std::uint64_t operator[](std::size_t i) const { return words_[i]; }
    std::size_t size() const { return count_; }
    // Makes every page, by writing a zero to it, before any is read: a page first read is the
    // system's shared zero page, and the write that follows makes it again, at a second fault (and,
    // with threads running elsewhere, a flush of every processor's mappings). While no word is set.
    void MakePages()
    {
        for (std::size_t i = 0; i < count_; i += 4096 / sizeof(std::uint64_t))
            words_[i] = 0;
    }
    std::uint64_t* begin() { return words_.get(); }
    std::uint64_t* end() { return words_.get() + count_; }
    const std::uint64_t* begin() const { return words_.get(); }
    const std::uint64_t* end() const { return words_.get() + count_; }

private:
    struct Free {
        void operator()(std::uint64_t* p) const { std::free(p); }
    };
    std::unique_ptr<std::uint64_t[], Free> words_;
    std::size_t count_;
};

}  // namespace qvpatch
