// Building a patch from two directory trees.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "qvpatch/patch_file.h"
#include "qvpatch/file_system.h"
#include "qvpatch/status.h"

namespace qvpatch {

struct BuildOptions {
    int level = 19;        // zstd compression level
    unsigned threads = 0;  // encodings tried side by side; 0: as many as DefaultThreads()
    // The most of a file's old and new contents together that applying may hold in memory (at
    // most kMaxHeldBytes): a larger file is encoded with the codecs that stream, and groups stay
    // within it too.
    std::uint64_t heldBytes = kMaxHeldBytes;
    // Called with each file's name as its data is encoded.
    std::function<void(const std::string& name, std::size_t index, std::size_t count)> onFile;
};

// Compares the trees and writes the patch that turns oldDir into newDir: changed files as deltas
// against their old version (or compressed on their own, when that is smaller), added files
// compressed, removed files and directories by name with their old size and hash. Links in either
// tree are refused.
Result BuildPatch(FileSystem& fs, const std::string& oldDir, const std::string& newDir, const BuildOptions& options,
                  Patch* patch);

}  // namespace qvpatch
