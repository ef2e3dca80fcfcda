// SHA-256's compression function on the x86 SHA instructions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvpatch {

// Whether this processor has the SHA instructions (and the SSSE3 and SSE4.1 they come with).
bool HasShaInstructions();

// Runs count 64-byte blocks through state (a, b, ... h); only where HasShaInstructions().
void Sha256CompressX86(std::uint32_t state[8], const std::uint8_t* blocks, std::size_t count);

}  // namespace qvpatch
