// libgcrypt, set up once before its first use.
#pragma once

namespace qvpatch {

void InitCrypto();

}  // namespace qvpatch
