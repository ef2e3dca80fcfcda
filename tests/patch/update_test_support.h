// What the tests of updates on real trees share: the engine's interface, the fault-injecting file
// system, and trees made, read and compared.
#pragma once

#include "fault_fs.h"
#include "qvpatch/apply.h"
#include "qvpatch/build.h"
#include "qvpatch/recovery.h"
#include "tree_support.h"
