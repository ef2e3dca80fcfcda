// The platform that the setup stub's logic calls: the real one, unless a test put another there.
#include "setup_platform.h"

namespace platform {

namespace {
SetupPlatform* g_os = nullptr;
}

SetupPlatform& Os() { return g_os != nullptr ? *g_os : NativePlatform(); }

void SetOs(SetupPlatform* os) { g_os = os; }

}  // namespace platform
