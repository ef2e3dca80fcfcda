// Nothing lost: an update stopped by a crash at each of its file-system operations, or failing at
// each of them, ends with the directory byte for byte old or new, and the next run puts it right.
#include <gtest/gtest.h>

#include <filesystem>
#ifndef _WIN32
#include <sys/wait.h>
#include <unistd.h>
#endif
#include <map>
#include <string>

#include "update_test_support.h"

namespace {

using namespace qvpatch;
using namespace faulttest;
using namespace treetest;

std::string Text(const std::string& lang)
{
    std::string text;
    for (int i = 0; i < 800; ++i)
        text += lang + " message " + std::to_string(i * 31 % 997) + "\n";
    return text;
}

// A realistic update: a big changed program, a group of changed texts, a removed file and
// directory, an added directory with a file, a read-only file that changes.
std::map<std::string, std::string> OldTree()
{
    std::string program(1536 * 1024, '\0');
    for (std::size_t i = 0; i < program.size(); ++i)
        program[i] = static_cast<char>((i * 2654435761u) >> 13);
    return {{"bin/", ""},
            {"bin/app.exe", program},
            {"lang/", ""},
            {"lang/de.txt", Text("de")},
            {"lang/fr.txt", Text("fr")},
            {"old/", ""},
            {"old/gone.dll", "gone"},
            {"config.ini", "[app]\nv=1\n"}};
}

std::map<std::string, std::string> NewTree()
{
    auto tree = OldTree();
    tree["bin/app.exe"].replace(700000, 9, "version 2");
    tree["lang/de.txt"] += "de added\n";
    tree["lang/fr.txt"] += "fr added\n";
    tree.erase("old/gone.dll");
    tree.erase("old/");
    tree["plugins/"] = "";
    tree["plugins/new.dll"] = "new plugin";
    tree["config.ini"] = "[app]\nv=2\n";
    return tree;
}

class Quiet : public ApplyObserver {};

// Each run three times: the program decoded with its old file held in memory (the split match
// delta); streamed (read by
// position, a page at a time, as a file too large to hold is); and streamed from a patch whose data
// is read by position from its file too (as a patch too large to hold is).
enum class Form { kHeld, kStreamed, kStreamedFromFile };

class CrashTest : public ::testing::TestWithParam<Form> {
protected:
    void SetUp() override
    {
        Make(tmp_.Sub("old"), OldTree());
        Make(tmp_.Sub("new"), NewTree());
        BuildOptions options;
        options.level = 3;
        if (GetParam() != Form::kHeld)
            options.heldBytes = 1 << 20;
        ASSERT_TRUE(BuildPatch(native_, tmp_.Sub("old"), tmp_.Sub("new"), options, &patch_).ok());
        bool streamed = false, split = false;
        for (const Entry& e : patch_.entries) {
            streamed |= e.codec == Codec::kStreamedMatchDelta;
            split |= e.codec == Codec::kSplitMatchDelta;
        }
        ASSERT_EQ(streamed, GetParam() != Form::kHeld);
        ASSERT_EQ(split, GetParam() == Form::kHeld);
        if (GetParam() == Form::kStreamedFromFile) {
            std::vector<std::uint8_t> bytes = Serialize(patch_);
            Make(tmp_.path(), {{"update.pat", std::string(bytes.begin(), bytes.end())}});
            ASSERT_TRUE(LoadPatchFile(native_, tmp_.Sub("update.pat"), &patch_, 0).ok());
            ASSERT_TRUE(patch_.file != nullptr);
        }
    }

    // A fresh installed copy of the old version, its config.ini read-only.
    std::string Fresh()
    {
        std::string dir = tmp_.Sub("installed-" + std::to_string(++fresh_));
        Make(dir, OldTree());
        std::filesystem::permissions(std::filesystem::u8path(dir + "/config.ini"),
                                     std::filesystem::perms::owner_write | std::filesystem::perms::group_write |
                                         std::filesystem::perms::others_write,
                                     std::filesystem::perm_options::remove);
        return dir;
    }

    bool ReadOnly(const std::string& dir)
    {
        auto perms = std::filesystem::status(std::filesystem::u8path(dir + "/config.ini")).permissions();
        return (perms & std::filesystem::perms::owner_write) == std::filesystem::perms::none;
    }

    long OperationsOfACompleteRun()
    {
        FaultFs counting(native_);
        std::string dir = Fresh();
        Quiet quiet;
        ApplySummary summary;
        EXPECT_TRUE(Apply(counting, dir, patch_, quiet, ApplyOptions{}, &summary).ok());
        EXPECT_TRUE(Snapshot(native_, dir) == NewTree())
            << "differences:" << treetest::Differences(Snapshot(native_, dir), NewTree());
        return counting.count();
    }

    FileSystem& native_ = NativeFileSystem();
    TempTree tmp_;
    Patch patch_;
    int fresh_ = 0;
};

TEST_P(CrashTest, KilledAtEveryOperationTheNextRunPutsItRight)
{
    long total = OperationsOfACompleteRun();
    ASSERT_GT(total, 50);
    int old = 0, updated = 0;
    for (long n = 1; n <= total; ++n) {
        std::string dir = Fresh();
        FaultFs fs(native_);
        fs.Arm(FaultFs::Mode::kCrash, n);
        Quiet quiet;
        ApplySummary summary;
        bool crashed = false;
        try {
            (void)Apply(fs, dir, patch_, quiet, ApplyOptions{}, &summary);  // ends in the crash
        } catch (const Crash&) {
            crashed = true;
        }
        ASSERT_TRUE(crashed) << n;
        // The next run: recovery, before anything else.
        bool found = false;
        Result r = Recover(native_, dir, quiet, nullptr, &found);
        ASSERT_TRUE(r.ok()) << "killed at operation " << n << ": " << r.message;
        auto now = Snapshot(native_, dir);
        bool isOld = now == OldTree(), isNew = now == NewTree();
        ASSERT_TRUE(isOld || isNew) << "killed at operation " << n << " of " << total;
        (isOld ? old : updated)++;
        EXPECT_TRUE(ReadOnly(dir)) << n;
        // And the update then goes through.
        ASSERT_TRUE(Apply(native_, dir, patch_, quiet, ApplyOptions{}, &summary).ok()) << n;
        ASSERT_TRUE(Snapshot(native_, dir) == NewTree())
            << "differences:" << treetest::Differences(Snapshot(native_, dir), NewTree()) << n;
    }
    EXPECT_GT(old, 0);
    EXPECT_GT(updated, 0);
}

#ifndef _WIN32
// The same with a real process, ended by _exit at its Nth operation: no destructor, no unwinding,
// the system closes what was open.
TEST_P(CrashTest, AProcessEndedAtEveryOperationIsPutRightByTheNextRun)
{
    long total = OperationsOfACompleteRun();
    for (long n = 1; n <= total; ++n) {
        std::string dir = Fresh();
        pid_t pid = fork();
        if (pid == 0) {
            FaultFs fs(native_);
            fs.OnCrash([] { _exit(42); });
            fs.Arm(FaultFs::Mode::kCrash, n);
            Quiet quiet;
            ApplySummary summary;
            (void)Apply(fs, dir, patch_, quiet, ApplyOptions{}, &summary);  // ends in _exit(42)
            _exit(0);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 42) << n;
        Quiet quiet;
        ApplySummary summary;
        ASSERT_TRUE(Apply(native_, dir, patch_, quiet, ApplyOptions{}, &summary).ok()) << n;
        auto now = Snapshot(native_, dir);
        ASSERT_TRUE(now == NewTree()) << n << " differences:" << treetest::Differences(now, NewTree());
    }
}
#endif

TEST_P(CrashTest, EachFailingOperationLeavesTheOldTreeWithAReason)
{
    long total = OperationsOfACompleteRun();
    const char* errors[] = {"the disk is full", "access denied", "the file is in use", "path not found"};
    for (long n = 1; n <= total; ++n) {
        const char* error = errors[n % 4];
        std::string dir = Fresh();
        FaultFs fs(native_);
        fs.Arm(FaultFs::Mode::kFailOnce, n, error);
        Quiet quiet;
        ApplySummary summary;
        Result r = Apply(fs, dir, patch_, quiet, ApplyOptions{}, &summary);
        auto now = Snapshot(native_, dir);
        if (r.ok()) {
            // Only after the commit point, cleaning up the old files: what is left of them goes
            // at the next run.
            bool found = false;
            ASSERT_TRUE(Recover(native_, dir, quiet, nullptr, &found).ok()) << n;
            now = Snapshot(native_, dir);
            ASSERT_TRUE(now == NewTree()) << n << " differences:" << treetest::Differences(now, NewTree());
        } else {
            ASSERT_TRUE(now == OldTree()) << "differences:" << treetest::Differences(now, OldTree())
                                          << "failing operation " << n << ": " << r.message;
            ASSERT_NE(r.message.find(error), std::string::npos) << r.message;
        }
    }
}

TEST_P(CrashTest, AFailingRollbackIsFinishedByTheNextRun)
{
    long total = OperationsOfACompleteRun();
    int interrupted = 0;
    for (long n = 1; n <= total; ++n) {
        std::string dir = Fresh();
        FaultFs fs(native_);
        fs.Arm(FaultFs::Mode::kFailFromThenOn, n, "access denied");
        Quiet quiet;
        ApplySummary summary;
        Result r = Apply(fs, dir, patch_, quiet, ApplyOptions{}, &summary);
        if (r.ok())
            continue;
        if (r.status == Status::kInterrupted)
            ++interrupted;
        // The next run, with a healthy disk, finishes the rollback and then updates.
        ASSERT_TRUE(Apply(native_, dir, patch_, quiet, ApplyOptions{}, &summary).ok()) << n;
        ASSERT_TRUE(Snapshot(native_, dir) == NewTree())
            << "differences:" << treetest::Differences(Snapshot(native_, dir), NewTree()) << n;
    }
    EXPECT_GT(interrupted, 0);
}

TEST_P(CrashTest, AnInterruptedUpdateOfAnotherPatchIsRefused)
{
    std::string dir = Fresh();
    FaultFs fs(native_);
    long total = OperationsOfACompleteRun();
    fs.Arm(FaultFs::Mode::kCrash, total - 10);
    Quiet quiet;
    ApplySummary summary;
    try {
        (void)Apply(fs, dir, patch_, quiet, ApplyOptions{}, &summary);  // ends in the crash
    } catch (const Crash&) {
    }
    Patch other = patch_;
    other.entries[0].newHash[0] ^= 1;
    Result r = Apply(native_, dir, other, quiet, ApplyOptions{}, &summary);
    EXPECT_EQ(r.status, Status::kInterrupted);
    EXPECT_NE(r.message.find("qvpatch recover"), std::string::npos) << r.message;
    bool found = false;
    ASSERT_TRUE(Recover(native_, dir, quiet, nullptr, &found).ok());
    EXPECT_TRUE(found);
    auto now = Snapshot(native_, dir);
    EXPECT_TRUE(now == OldTree() || now == NewTree());
}

std::string FormName(const ::testing::TestParamInfo<Form>& info)
{
    switch (info.param) {
    case Form::kHeld: return "Held";
    case Form::kStreamed: return "Streamed";
    case Form::kStreamedFromFile: return "StreamedFromFile";
    }
    return "Unknown";
}

INSTANTIATE_TEST_SUITE_P(EveryForm, CrashTest, ::testing::Values(Form::kHeld, Form::kStreamed, Form::kStreamedFromFile),
                         FormName);

}  // namespace
