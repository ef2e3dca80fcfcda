// Large-buffer advice on Windows: none. Its large pages need a privilege an updater does not have,
// and must be asked for when the memory is allocated.
#include "memory.h"

namespace qvpatch {

void AdviseLargeBuffer(void*, std::size_t) {}

}  // namespace qvpatch
