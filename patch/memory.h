// Advice to the system on the engine's large buffers.
#pragma once

#include <cstddef>

namespace qvpatch {

// Asks that a buffer of many MiB, not yet written, be backed by large pages where the system
// offers them: each page the buffer's first writes touch then costs one fault, not 512. Only
// advice: nothing changes where the system takes none.
void AdviseLargeBuffer(void* data, std::size_t size);

}  // namespace qvpatch
