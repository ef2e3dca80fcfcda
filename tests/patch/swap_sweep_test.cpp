// A file of the directory replaced by another program (saved whole under its name, same size,
// other bytes) before each file-system operation of an update in turn, through a v6 patch read
// from its bytes (entries holding short checks). Whatever the moment, what was saved is never lost,
// and the rest of the directory ends old or new as a whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "fault_fs.h"
#include "codec.h"
#include "qvpatch/apply.h"
#include "qvpatch/build.h"
#include "qvpatch/recovery.h"
#include "tree_support.h"

namespace {

using namespace qvpatch;
using namespace faulttest;
using namespace treetest;

using Files = std::map<std::string, std::string>;

Files OldTree()
{
    std::string text;
    for (int i = 0; i < 300; ++i)
        text += "line " + std::to_string(i * 37 % 101) + "\n";
    return {{"app.exe", Noise(40000, 1)}, {"a.txt", "a " + text}, {"b.txt", "b " + text},
            {"gone.txt", "gone " + text}, {"sub/", ""},           {"sub/c.txt", "c " + text}};
}

Files NewTree()
{
    Files t = OldTree();
    t["app.exe"].replace(20000, 8, "VERSION2");
    t["a.txt"] += "a more\n";
    t["b.txt"] += "b more\n";
    t.erase("gone.txt");
    t["renamed.txt"] = "gone " + OldTree()["a.txt"].substr(2) + "x";
    t["sub/c.txt"] = "c changed";
    return t;
}

class Quiet : public ApplyObserver {};

// Saves bytes at path as editors do, written beside it and renamed over it; false where the system
// refuses (on Windows, over a file another program holds open).
bool SaveWhole(const TempTree& tmp, const std::string& path, const std::string& bytes)
{
    const std::string side = tmp.Sub("save.tmp");
    std::ofstream(side, std::ios::binary) << bytes;
    std::error_code ec;
    std::filesystem::rename(side, path, ec);
    return !ec;
}

TEST(SwapSweepTest, AFileSavedAtAnyMomentIsKeptAndTheRestIsOldOrNew)
{
    FileSystem& native = NativeFileSystem();
    TempTree tmp;
    Make(tmp.Sub("old"), OldTree());
    Make(tmp.Sub("new"), NewTree());
    Patch patch;
    BuildAndRead(native, tmp, &patch);
    ASSERT_FALSE(HasFatalFailure());
    const std::string dir = tmp.Sub("installed");
    Quiet quiet;

    long runs = 0;
    for (const std::string victim : {"a.txt", "gone.txt", "app.exe", "sub/c.txt"})
        for (int kind = 0; kind < 4; ++kind) {
            // Same size and other bytes, written whole or into the file in place; the very same bytes
            // saved again; the new version copied in by hand.
            std::string saved = OldTree()[victim];
            if (kind <= 1)
                saved[saved.size() / 2] ^= 0x20;
            if (kind == 3 && NewTree().count(victim))
                saved = NewTree()[victim];
            const bool inPlace = kind == 1;
            for (long at = 1;; ++at) {
                ++runs;
                std::filesystem::remove_all(dir);
                Make(dir, OldTree());
                FaultFs fs(native);
                long n = 0;
                bool swapped = false, edited = true;
                fs.OnOperation([&](const std::string&) {
                    if (++n != at)
                        return;
                    swapped = true;
                    if (inPlace) {
                        // Only over a file of its size (the old one), so that what it holds is what was written.
                        std::error_code ec;
                        const auto size = std::filesystem::file_size(dir + "/" + victim, ec);
                        std::fstream f(dir + "/" + victim, std::ios::in | std::ios::out | std::ios::binary);
                        if (f && !ec && size == saved.size())
                            f << saved;
                        else
                            edited = false;
                        return;
                    }
                    // Where the system refuses the save (Windows, over a file the update holds
                    // open), the editor would say so, and nothing was saved.
                    edited = SaveWhole(tmp, dir + "/" + victim, saved);
                });
                ApplySummary summary;
                Result r = Apply(fs, dir, patch, quiet, ApplyOptions{}, &summary);
                if (!swapped) {
                    ASSERT_TRUE(r.ok()) << r.message;
                    break;
                }
                bool found = false;
                Result recovered = r.ok() ? Result::Ok() : Recover(native, dir, quiet, &patch, &found);
                Files now = Snapshot(native, dir);
                const std::string where = victim + " saved before operation " + std::to_string(at) + " (" + r.message +
                                          "; " + recovered.message + ")";
                // Bytes that differ from both versions are the user's: they are never lost, whatever
                // happened. (The same bytes saved again, or the new version copied in, may be updated or
                // removed as such.)
                if (edited && kind <= 1) {
                    EXPECT_TRUE(now.count(victim) && now[victim] == saved)
                        << where << ": " << victim << " is "
                        << (now.count(victim) ? std::to_string(now[victim].size()) + " bytes" : "missing");
                }
                Files rest = now, oldRest = OldTree(), newRest = NewTree();
                for (Files* f : {&rest, &oldRest, &newRest})
                    f->erase(victim);
                if (recovered.ok())
                    EXPECT_TRUE(rest == (r.ok() ? newRest : oldRest))
                        << where << Differences(rest, r.ok() ? newRest : oldRest);
                else
                    EXPECT_EQ(recovered.status, Status::kInterrupted) << where;
            }
        }
    EXPECT_GT(runs, 400);
}

}  // namespace

namespace {

// The same with a patch whose data for one file is damaged: once that file fails its check, the
// old files not read yet are hashed to tell a damaged patch from a directory at another version.
// A file saved meanwhile is kept, and nothing else changes.
TEST(SwapSweepTest, AFileSavedWhileADamagedPatchIsToldIsKept)
{
    FileSystem& native = NativeFileSystem();
    TempTree tmp;
    Make(tmp.Sub("old"), OldTree());
    Make(tmp.Sub("new"), NewTree());
    Patch patch;
    BuildAndRead(native, tmp, &patch);
    ASSERT_FALSE(HasFatalFailure());
    // The data of the first file built (or of its group) decodes wrong.
    std::size_t damaged = patch.entries.size();
    for (std::size_t i = 0; i < patch.entries.size() && damaged == patch.entries.size(); ++i)
        if (patch.entries[i].HasNew() && patch.entries[i].dataLength > 16)
            damaged = i;
    ASSERT_LT(damaged, patch.entries.size());
    const Entry& e = patch.entries[damaged];
    patch.data[static_cast<std::size_t>(e.dataOffset + e.dataLength - 4)] ^= 0x55;
    const std::string dir = tmp.Sub("installed");
    Quiet quiet;
    long runs = 0;
    for (const std::string victim : {"a.txt", "gone.txt", "app.exe", "sub/c.txt"}) {
        std::string saved = OldTree()[victim];
        saved[saved.size() / 2] ^= 0x20;
        for (long at = 1;; ++at) {
            ++runs;
            std::filesystem::remove_all(dir);
            Make(dir, OldTree());
            FaultFs fs(native);
            long n = 0;
            bool swapped = false, edited = false;
            fs.OnOperation([&](const std::string&) {
                if (++n != at)
                    return;
                swapped = true;
                edited = SaveWhole(tmp, dir + "/" + victim, saved);
            });
            ApplySummary summary;
            Result r = Apply(fs, dir, patch, quiet, ApplyOptions{}, &summary);
            Files expected = OldTree();
            if (!swapped) {
                EXPECT_EQ(r.status, Status::kPatchCorrupt) << r.message;
                EXPECT_TRUE(Snapshot(native, dir) == expected);
                break;
            }
            if (edited)
                expected[victim] = saved;
            EXPECT_FALSE(r.ok()) << victim << " at " << at;
            EXPECT_TRUE(r.status == Status::kPatchCorrupt || r.status == Status::kWrongVersion)
                << victim << " at " << at << ": " << r.message;
            Files now = Snapshot(native, dir);
            EXPECT_TRUE(now == expected) << victim << " at " << at << ": " << r.message << Differences(now, expected);
        }
    }
    EXPECT_GT(runs, 40);
}

}  // namespace
