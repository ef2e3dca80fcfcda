// BLAKE3's compression 8 at a time, compiled for AVX2.
#define BLAKE3_LANES 8
#define BLAKE3_CHUNKS HashChunks8
#define BLAKE3_PARENTS HashParents8
#define BLAKE3_GATHER(p, index) \
    reinterpret_cast<Vec>(_mm256_i32gather_epi32(reinterpret_cast<const int*>(p), reinterpret_cast<__m256i>(index), 4))
#include "blake3_wide.inc"
