// A file's hash of data handed on in pieces, each hashed on a thread beside the caller's while the
// caller reads or makes the next one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>

#include "qvpatch/file_hash.h"
#include "threads.h"

namespace qvpatch {

class HashBeside {
public:
    explicit HashBeside(FileHash kind) : hash_(kind) {}
    // A piece must stay as it is until the next Update or Final. Small pieces, for which handing
    // on costs more than it saves, are hashed at once.
    void Update(const std::uint8_t* data, std::size_t size);
    Digest Final();
    // Waits until the pieces handed on are hashed: the last one may then change. It does not throw
    // (it is what ends a write that failed, or that an exception left): what the work threw is
    // thrown by Final.
    void Settle() noexcept
    {
        try {
            beside_.Wait();
        } catch (...) {
            thrown_ = std::current_exception();
        }
    }

private:
    FileHasher hash_;
    std::exception_ptr thrown_;
    Beside beside_;  // made after hash_, so ended (its work waited for) before it
};

}  // namespace qvpatch
