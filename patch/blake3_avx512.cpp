// BLAKE3's compression 16 at a time, compiled for AVX-512.
#define BLAKE3_LANES 16
#define BLAKE3_CHUNKS HashChunks16
#define BLAKE3_PARENTS HashParents16
#define BLAKE3_GATHER(p, index)                        \
    reinterpret_cast<Vec>(_mm512_mask_i32gather_epi32( \
        _mm512_setzero_si512(), 0xFFFF, reinterpret_cast<__m512i>(index), reinterpret_cast<const void*>(p), 4))
#include "blake3_wide.inc"
