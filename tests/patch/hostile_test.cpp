// The installation directory as others leave it: links planted in it or swapped in while an
// update runs, a journal written by someone else, a second update at the same time, a file edited
// during the update, a full disk, a kill while clearing up. Nothing outside the directory is ever
// touched, and nothing inside is lost.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#ifndef _WIN32
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "journal.h"
#include "update_test_support.h"

namespace {

using namespace qvpatch;
using namespace faulttest;
using namespace treetest;

using Files = std::map<std::string, std::string>;

Files OldTree()
{
    return {{"app.exe", Noise(200000, 1)},
            {"readme.txt", "version 1\n"},
            {"sub/", ""},
            {"sub/data.txt", std::string(3000, 'd') + "1\n"},
            {"sub/lib.dll", Noise(50000, 2)}};
}

Files NewTree()
{
    Files tree = OldTree();
    tree["app.exe"].replace(1000, 10, "version  2");
    tree["readme.txt"] = "version 2\n";
    tree["sub/data.txt"] = std::string(3000, 'd') + "2\n";
    tree["sub/lib.dll"].replace(500, 4, "2222");
    tree["sub/added.txt"] = "added\n";
    return tree;
}

const Files kOutside = {
    {"data.txt", "outside data\n"}, {"lib.dll", "outside lib\n"}, {"victim.txt", "outside\n"}, {"inner/", ""}};

class Quiet : public ApplyObserver {};

class HostileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Make(tmp_.Sub("old"), OldTree());
        Make(tmp_.Sub("new"), NewTree());
        Make(dir(), OldTree());
        Make(outside(), kOutside);
        BuildOptions options;
        options.level = 1;
        ASSERT_TRUE(BuildPatch(native_, tmp_.Sub("old"), tmp_.Sub("new"), options, &patch_).ok());
    }

    std::string dir() const { return tmp_.Sub("installed"); }
    std::string outside() const { return tmp_.Sub("outside"); }
    std::string In(const std::string& name) const { return dir() + "/" + name; }
    Files Installed() { return Snapshot(native_, dir()); }
    Files Outside() { return Snapshot(native_, outside()); }

    Result Run(FileSystem& fs, bool checkOnly = false)
    {
        ApplyOptions options;
        options.checkOnly = checkOnly;
        ApplySummary summary;
        return Apply(fs, dir(), patch_, quiet_, options, &summary);
    }
    Result Recover()
    {
        bool found = false;
        return qvpatch::Recover(native_, dir(), quiet_, nullptr, &found);
    }

    // Operations of a complete update through fs, with what each one was.
    std::vector<std::string> Operations()
    {
        std::vector<std::string> seen;
        FaultFs counting(native_);
        counting.OnOperation([&](const std::string& what) { seen.push_back(what); });
        TempTree scratch;
        Make(scratch.path(), OldTree());
        ApplySummary summary;
        EXPECT_TRUE(Apply(counting, scratch.path(), patch_, quiet_, ApplyOptions{}, &summary).ok());
        return seen;
    }

    // The patch as a builder of an earlier version made it, whose files are told by SHA-256.
    void AsVersion(std::uint16_t version)
    {
        patch_.version = version;
        Files olds = OldTree(), news = NewTree();
        for (Entry& e : patch_.entries) {
            if (e.HasOld())
                e.oldHash = Sha256(olds[e.name].data(), olds[e.name].size());
            if (e.HasNew())
                e.newHash = Sha256(news[e.name].data(), news[e.name].size());
        }
        SetContentsChecks(&patch_);
    }

    void Fresh()
    {
        std::filesystem::remove_all(std::filesystem::u8path(dir()));
        Make(dir(), OldTree());
    }

    FileSystem& native_ = NativeFileSystem();
    TempTree tmp_;
    Patch patch_;
    Quiet quiet_;
};

TEST_F(HostileTest, AWorkAreaThatIsNotOneIsNeverEnteredOrRemoved)
{
    ASSERT_TRUE(MakeDirectoryLink(outside(), In(".qvpatch.tmp")));
    for (int run = 0; run < 3; ++run) {
        Result r = run == 0 ? Run(native_) : run == 1 ? Run(native_, true) : Recover();
        EXPECT_EQ(r.status, Status::kInterrupted) << run << ": " << r.message;
        EXPECT_NE(r.message.find("link"), std::string::npos) << r.message;
        EXPECT_TRUE(SameTree(Outside(), kOutside)) << run;
    }
    ASSERT_TRUE(RemoveLink(In(".qvpatch.tmp")));
    Make(dir(), {{".qvpatch.tmp", "a file of someone's"}});
    for (int run = 0; run < 3; ++run) {
        Result r = run == 0 ? Run(native_) : run == 1 ? Run(native_, true) : Recover();
        EXPECT_EQ(r.status, Status::kInterrupted) << run << ": " << r.message;
    }
    Files expected = OldTree();
    expected[".qvpatch.tmp"] = "a file of someone's";
    EXPECT_TRUE(SameTree(Installed(), expected));
}

TEST_F(HostileTest, APlantedJournalCannotReachThroughALink)
{
    ASSERT_TRUE(MakeDirectoryLink(outside(), In("lnk")));
    auto step = [](JournalStep::Kind kind, const std::string& name, const std::string& work,
                   const std::string& content = "") {
        JournalStep s{kind, name, work};
        s.verified = kind == JournalStep::kMoveAside || kind == JournalStep::kPlace;
        s.size = content.size();
        s.hash = Sha256(content.data(), content.size());
        return s;
    };
    // Each step as it would act outside: delete a file (place), create one (aside), make and
    // remove directories; the hashes match, as anyone can make them.
    std::vector<std::vector<JournalStep>> journals = {
        {step(JournalStep::kPlace, "lnk/victim.txt", "new-1", "outside\n")},
        {step(JournalStep::kMoveAside, "lnk/created.txt", "old-2", "chosen")},
        {step(JournalStep::kMakeDirectory, "lnk/inner", "")},
        {step(JournalStep::kRemoveDirectory, "lnk/made", "")},
    };
    for (const auto& steps : journals) {
        Make(dir(), {{".qvpatch.tmp/journal", JournalPlan(PatchId(patch_), steps)}, {".qvpatch.tmp/old-2", "chosen"}});
        Files before = Installed();
        Result r = Recover();
        EXPECT_EQ(r.status, Status::kInterrupted) << steps[0].name << ": " << r.message;
        EXPECT_TRUE(SameTree(Outside(), kOutside)) << steps[0].name;
        EXPECT_TRUE(SameTree(Installed(), before)) << steps[0].name;
        // Through an update of the same patch too.
        r = Run(native_);
        EXPECT_EQ(r.status, Status::kInterrupted) << r.message;
        EXPECT_TRUE(SameTree(Outside(), kOutside)) << steps[0].name;
        std::filesystem::remove_all(std::filesystem::u8path(In(".qvpatch.tmp")));
    }
}

TEST_F(HostileTest, ALinkSwappedInAtAnyMomentIsNotFollowed)
{
    // Another process moves a directory away (sub, or the work area itself) and puts a link to the
    // outside in its place, at each operation of the update in turn: the update fails or finishes,
    // and the outside never changes.
    std::vector<std::string> operations = Operations();
    ASSERT_GT(operations.size(), 30u);
    for (const std::string victim : {"sub", ".qvpatch.tmp"}) {
        int failed = 0;
        for (std::size_t at = 1; at <= operations.size(); ++at) {
            Fresh();
            std::filesystem::remove_all(std::filesystem::u8path(In("moved")));
            FaultFs fs(native_);
            std::size_t count = 0;
            bool swapped = false;
            fs.OnOperation([&](const std::string&) {
                std::error_code ec;
                if (++count >= at && !swapped &&
                    std::filesystem::is_directory(std::filesystem::u8path(In(victim)), ec)) {
                    swapped = true;
                    std::filesystem::rename(std::filesystem::u8path(In(victim)), std::filesystem::u8path(In("moved")));
                    ASSERT_TRUE(MakeDirectoryLink(outside(), In(victim)));
                }
            });
            Result r = Run(fs);
            EXPECT_TRUE(SameTree(Outside(), kOutside))
                << victim << " swapped at " << operations[at - 1] << ": " << r.message;
            if (!r.ok()) {
                ++failed;
                EXPECT_TRUE(r.status == Status::kIoError || r.status == Status::kInterrupted ||
                            r.status == Status::kUnsafePatch || r.status == Status::kWrongVersion)
                    << r.message;
            }
            if (swapped) {
                ASSERT_TRUE(RemoveLink(In(victim)));
            }
        }
        EXPECT_GT(failed, 0) << victim;
    }
}

// A new file in the work area cut short, or another file put at its name, by another program
// while the update writes it: the update fails, and installs nothing of it.
TEST_F(HostileTest, ANewFileChangedInTheWorkAreaIsNeverInstalled)
{
    for (const char* attack : {"cut short", "replaced", "replaced by an empty file"}) {
        Fresh();
        FaultFs fs(native_);
        std::string made;
        bool done = false, refused = false;
        fs.OnOperation([&](const std::string& what) {
            const std::string create = "create .qvpatch.tmp/new-";
            if (what.compare(0, create.size(), create) == 0)
                made = In(what.substr(std::strlen("create ")));
            if (done || what != "flush" || made.empty())
                return;
            done = true;
            // Where the system lets no other program change a file open to be written (Windows),
            // the attack is refused, and the update goes on.
            std::error_code refusal;
            const auto path = std::filesystem::u8path(made);
            const auto size = std::filesystem::file_size(path);
            if (std::string(attack) == "cut short") {
                std::filesystem::resize_file(path, size / 2, refusal);
                refused = static_cast<bool>(refusal);
                return;
            }
            const auto other = std::filesystem::u8path(made + ".other");
            std::ofstream(other, std::ios::binary)
                << std::string(std::string(attack) == "replaced" ? static_cast<std::size_t>(size) : 0, '\0');
            std::filesystem::rename(other, path, refusal);
            refused = static_cast<bool>(refusal);
            if (refused)
                std::filesystem::remove(other);
        });
        Result r = Run(fs);
        ASSERT_TRUE(done) << attack;
        if (refused) {
            EXPECT_TRUE(r.ok()) << attack << ": " << r.message;
            EXPECT_TRUE(SameTree(Installed(), NewTree())) << attack;
            continue;
        }
        EXPECT_EQ(r.status, Status::kIoError) << attack << ": " << r.message;
        EXPECT_NE(r.message.find("changed by another program"), std::string::npos) << r.message;
        EXPECT_TRUE(SameTree(Installed(), OldTree())) << attack;
        r = Run(native_);
        ASSERT_TRUE(r.ok()) << attack << ": " << r.message;
        EXPECT_TRUE(SameTree(Installed(), NewTree())) << attack;
    }
}

TEST_F(HostileTest, AFileEditedDuringTheUpdateFailsItAndKeepsTheEdit)
{
    std::vector<std::string> operations = Operations();
    // While the new files are built, and just before the old ones are moved aside.
    for (const char* moment : {"create .qvpatch.tmp/new-", "create .qvpatch.tmp/journal"}) {
        Fresh();
        FaultFs fs(native_);
        bool edited = false;
        fs.OnOperation([&](const std::string& what) {
            if (!edited && what.compare(0, std::strlen(moment), moment) == 0) {
                edited = true;
                std::ofstream(std::filesystem::u8path(In("readme.txt")), std::ios::app | std::ios::binary)
                    << "a line of the user's\n";
            }
        });
        Result r = Run(fs);
        EXPECT_EQ(r.status, Status::kWrongVersion) << moment << ": " << r.message;
        Files expected = OldTree();
        expected["readme.txt"] += "a line of the user's\n";
        EXPECT_TRUE(SameTree(Installed(), expected)) << moment;
    }
}

TEST_F(HostileTest, ASecondUpdateWaitsForNothingAndTouchesNothing)
{
    {
        std::unique_ptr<Tree> held;
        ASSERT_TRUE(OpenLockedTree(native_, dir(), LockMode::kExclusive, &held).ok());
        for (int run = 0; run < 3; ++run) {
            Result r = run == 0 ? Run(native_) : run == 1 ? Run(native_, true) : Recover();
            EXPECT_EQ(r.status, Status::kInterrupted) << run;
            EXPECT_NE(r.message.find("another update"), std::string::npos) << r.message;
        }
    }
    {
        // Checks look side by side; an update waits for none of them, it is refused.
        std::unique_ptr<Tree> looking;
        ASSERT_TRUE(OpenLockedTree(native_, dir(), LockMode::kShared, &looking).ok());
        EXPECT_TRUE(Run(native_, true).ok());
        EXPECT_EQ(Run(native_).status, Status::kInterrupted);
    }
    EXPECT_TRUE(SameTree(Installed(), OldTree()));
    EXPECT_TRUE(Run(native_).ok());
    EXPECT_TRUE(SameTree(Installed(), NewTree()));
}

#ifndef _WIN32
TEST_F(HostileTest, TheLockIsOnlyThisUsersToHold)
{
    // The lock is a file of this user's that no one else may open: whoever may only read the
    // directory cannot hold it to keep updates out. One that others could open is no lock of ours.
    {
        std::unique_ptr<Tree> held;
        ASSERT_TRUE(OpenLockedTree(native_, dir(), LockMode::kExclusive, &held).ok());
        struct stat st;
        ASSERT_EQ(lstat(In(".qvpatch.tmp.lock").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::u8path(In(".qvpatch.tmp.lock"))));
    Make(dir(), {{".qvpatch.tmp.lock", ""}});
    std::filesystem::permissions(
        std::filesystem::u8path(In(".qvpatch.tmp.lock")),
        std::filesystem::perms::owner_read | std::filesystem::perms::owner_write | std::filesystem::perms::others_read);
    Result r = Run(native_);
    EXPECT_EQ(r.status, Status::kInterrupted) << r.message;
    EXPECT_NE(r.message.find("remove it by hand"), std::string::npos) << r.message;
    std::filesystem::remove(std::filesystem::u8path(In(".qvpatch.tmp.lock")));
    // Nor is a link one, wherever it points.
    ASSERT_EQ(symlink(In("readme.txt").c_str(), In(".qvpatch.tmp.lock").c_str()), 0);
    r = Run(native_);
    EXPECT_EQ(r.status, Status::kInterrupted) << r.message;
    std::filesystem::remove(std::filesystem::u8path(In(".qvpatch.tmp.lock")));
    EXPECT_TRUE(SameTree(Installed(), OldTree()));
}
#endif

TEST_F(HostileTest, KilledWhileClearingUpAfterAFailedCommitLosesNothing)
{
    // The commit fails at its last placement; the process dies at each operation of the clean-up
    // that follows. The next run puts the old version back, every file of it.
    std::vector<std::string> operations = Operations();
    long failAt = 0;
    for (std::size_t k = 0; k < operations.size(); ++k)
        if (operations[k].compare(0, 20, "rename .qvpatch.tmp/") == 0 &&
            operations[k].find("new-") != std::string::npos)
            failAt = static_cast<long>(k + 1);
    ASSERT_GT(failAt, 0);
    FaultFs probe(native_);
    probe.Arm(FaultFs::Mode::kFailOnce, failAt, "access denied");
    ASSERT_FALSE(Run(probe).ok());
    long total = probe.count();
    for (long crashAt = failAt + 1; crashAt <= total; ++crashAt) {
        Fresh();
        FaultFs fs(native_);
        fs.Arm(FaultFs::Mode::kFailOnce, failAt, "access denied");
        fs.CrashAt(crashAt);
        try {
            (void)Run(fs);  // ends in the crash
        } catch (const Crash&) {
        }
        Result r = Recover();
        ASSERT_TRUE(r.ok()) << "killed at operation " << crashAt << ": " << r.message;
        ASSERT_TRUE(SameTree(Installed(), OldTree())) << "killed at operation " << crashAt;
    }
}

TEST_F(HostileTest, AnUpdateThatDoesNotFitOnTheDiskIsRefusedBeforeItWrites)
{
    FaultFs fs(native_);
    fs.SetFreeSpace(100000);
    for (bool checkOnly : {true, false}) {
        Result r = Run(fs, checkOnly);
        EXPECT_EQ(r.status, Status::kIoError) << r.message;
        EXPECT_NE(r.message.find("100000 are free"), std::string::npos) << r.message;
    }
    EXPECT_TRUE(SameTree(Installed(), OldTree()));
    // A small patch that declares a huge file: refused at once, nothing built.
    Patch huge;
    Entry e;
    e.kind = EntryKind::kAddedFile;
    e.codec = Codec::kZstd;
    e.name = "huge.bin";
    e.newSize = 2ull << 30;
    e.dataLength = 8;
    huge.entries.push_back(e);
    huge.data.assign(8, 0);
    fs.SetFreeSpace(256ull << 20);
    ApplySummary summary;
    Result r = Apply(fs, dir(), huge, quiet_, ApplyOptions{}, &summary);
    EXPECT_EQ(r.status, Status::kIoError) << r.message;
    EXPECT_TRUE(SameTree(Installed(), OldTree()));
}

TEST_F(HostileTest, AnAddedFileWithoutItsDirectoryIsRefusedBeforeAnythingChanges)
{
    Make(tmp_.Sub("new"), {{"plugins/", ""}, {"plugins/x.dll", "x"}});
    BuildOptions options;
    options.level = 1;
    Patch patch;
    ASSERT_TRUE(BuildPatch(native_, tmp_.Sub("old"), tmp_.Sub("new"), options, &patch).ok());
    // Without its directory, or with the directory spelled in another case (which a file system
    // that tells case apart takes for another directory).
    Patch without = patch, otherCase = patch;
    without.entries.erase(std::remove_if(without.entries.begin(), without.entries.end(),
                                         [](const Entry& e) { return e.kind == EntryKind::kAddedDirectory; }),
                          without.entries.end());
    for (Entry& e : otherCase.entries)
        if (e.kind == EntryKind::kAddedDirectory)
            e.name = "Plugins";
    for (const Patch* p : {&without, &otherCase}) {
        for (bool checkOnly : {true, false}) {
            ApplyOptions o;
            o.checkOnly = checkOnly;
            ApplySummary summary;
            Result r = Apply(native_, dir(), *p, quiet_, o, &summary);
            EXPECT_EQ(r.status, Status::kWrongVersion) << r.message;
            EXPECT_NE(r.message.find("plugins"), std::string::npos) << r.message;
        }
    }
    EXPECT_TRUE(SameTree(Installed(), OldTree()));
}

TEST_F(HostileTest, CheckTellsOfAnInterruptedUpdateAndChangesNothing)
{
    std::vector<std::string> operations = Operations();
    long placeAt = 0;
    for (std::size_t k = 0; k < operations.size() && placeAt == 0; ++k)
        if (operations[k].find("rename .qvpatch.tmp/new-") == 0)
            placeAt = static_cast<long>(k + 1);
    FaultFs fs(native_);
    fs.CrashAt(placeAt + 1);
    try {
        (void)Run(fs);  // ends in the crash
    } catch (const Crash&) {
    }
    Files before = Installed();
    Result r = Run(native_, true);
    EXPECT_EQ(r.status, Status::kInterrupted) << r.message;
    EXPECT_NE(r.message.find("interrupted"), std::string::npos) << r.message;
    EXPECT_TRUE(SameTree(Installed(), before));
    EXPECT_TRUE(Run(native_).ok());
    EXPECT_TRUE(SameTree(Installed(), NewTree()));
}

TEST_F(HostileTest, ADirectoryNamedThroughALinkIsFollowedThere)
{
    ASSERT_TRUE(MakeDirectoryLink(dir(), tmp_.Sub("alias")));
    ApplySummary summary;
    Result r = Apply(native_, tmp_.Sub("alias"), patch_, quiet_, ApplyOptions{}, &summary);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_TRUE(SameTree(Installed(), NewTree()));
}

#ifndef _WIN32
TEST_F(HostileTest, APatchFileMustBeAPlainFile)
{
    std::string fifo = tmp_.Sub("patch.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Patch patch;
    EXPECT_EQ(LoadPatchFile(native_, fifo, &patch).status, Status::kPatchUnreadable);  // and does not wait
    EXPECT_EQ(LoadPatchFile(native_, dir(), &patch).status, Status::kPatchUnreadable);
}

TEST_F(HostileTest, AFileLinkInTheTreeIsNeverReadOrReplaced)
{
    // readme.txt is a link to a file outside, holding the old contents: never verified through,
    // never replaced.
    std::filesystem::remove(std::filesystem::u8path(In("readme.txt")));
    Make(outside(), {{"readme.txt", "version 1\n"}});
    std::filesystem::create_symlink(std::filesystem::u8path(outside() + "/readme.txt"),
                                    std::filesystem::u8path(In("readme.txt")));
    Result r = Run(native_);
    EXPECT_NE(r.status, Status::kOk);
    Files expected = kOutside;
    expected["readme.txt"] = "version 1\n";
    EXPECT_TRUE(SameTree(Outside(), expected));
}
#endif

TEST_F(HostileTest, ACheckReadsWhatAnUpdateWouldRefuse)
{
    // An old file of the right size but other contents, which the update refuses once it reads
    // it whole: a check reads it too.
    std::string changed = OldTree()["app.exe"];
    changed[5000] ^= 1;
    Make(dir(), {{"app.exe", changed}});
    Result r = Run(native_, true);
    EXPECT_EQ(r.status, Status::kWrongVersion) << r.message;
}

TEST_F(HostileTest, AStopIsAskedWhileTheNamesAreChecked)
{
    // A patch of many entries is looked at entry by entry, with the stop question between them.
    Patch many;
    for (int i = 0; i < 3000; ++i) {
        Entry e;
        e.kind = EntryKind::kAddedDirectory;
        e.name = "d/" + std::to_string(i);
        many.entries.push_back(e);
    }
    Entry d;
    d.kind = EntryKind::kAddedDirectory;
    d.name = "d";
    many.entries.push_back(d);
    class StopAt : public ApplyObserver {
    public:
        bool KeepGoing() override { return ++asked < 50; }
        int asked = 0;
    } stop;
    ApplySummary summary;
    Result r = Apply(native_, dir(), many, stop, ApplyOptions{}, &summary);
    EXPECT_EQ(r.status, Status::kStopped) << r.message;
    EXPECT_EQ(stop.asked, 50);
    EXPECT_TRUE(SameTree(Installed(), OldTree()));
}

TEST_F(HostileTest, ARemovedDirectoryComesBackAsItWas)
{
    // The patch removes dir/ (and its file); the update fails after it moved it aside. The
    // directory that comes back has its permissions.
    Make(tmp_.Sub("old"), {{"private/", ""}, {"private/key.txt", "secret"}});
    Make(dir(), {{"private/", ""}, {"private/key.txt", "secret"}});
    Patch patch;
    BuildOptions options;
    options.level = 1;
    ASSERT_TRUE(BuildPatch(native_, tmp_.Sub("old"), tmp_.Sub("new"), options, &patch).ok());
    std::filesystem::permissions(std::filesystem::u8path(In("private")), std::filesystem::perms::owner_all);
    auto before = std::filesystem::status(std::filesystem::u8path(In("private"))).permissions();
    ApplySummary summary;
    long moveAt = 0;
    {
        FaultFs counting(native_);
        long n = 0;
        TempTree scratch;
        Make(scratch.path(), OldTree());
        Make(scratch.path(), {{"private/", ""}, {"private/key.txt", "secret"}});
        counting.OnOperation([&](const std::string& what) {
            ++n;
            if (moveAt == 0 && what == "remove directory private")
                moveAt = n;
        });
        ASSERT_TRUE(Apply(counting, scratch.path(), patch, quiet_, ApplyOptions{}, &summary).ok());
    }
    ASSERT_GT(moveAt, 0);
    Files expected = OldTree();
    expected["private/"] = "";
    expected["private/key.txt"] = "secret";
    auto interrupted = [&](bool crash) {
        Fresh();
        Make(dir(), {{"private/", ""}, {"private/key.txt", "secret"}});
        std::filesystem::permissions(std::filesystem::u8path(In("private")), std::filesystem::perms::owner_all);
        FaultFs failing(native_);
        if (crash)
            failing.CrashAt(moveAt + 2);
        else
            failing.Arm(FaultFs::Mode::kFailOnce, moveAt + 1, "access denied");
        try {
            Result r = Apply(failing, dir(), patch, quiet_, ApplyOptions{}, &summary);
            EXPECT_FALSE(r.ok());
        } catch (const Crash&) {
        }
    };
    interrupted(false);
    EXPECT_TRUE(SameTree(Installed(), expected));
    EXPECT_EQ(std::filesystem::status(std::filesystem::u8path(In("private"))).permissions(), before);
    // Killed after the directory went, then the recovery killed at each of its operations in turn:
    // the next one still brings the directory back with its permissions.
    for (long recoveryCrash = 0;; ++recoveryCrash) {
        interrupted(true);
        bool crashed = false;
        if (recoveryCrash > 0) {
            FaultFs crashing(native_);
            crashing.CrashAt(recoveryCrash);
            try {
                bool found = false;
                (void)qvpatch::Recover(crashing, dir(), quiet_, nullptr, &found);  // crashes, or ends
            } catch (const Crash&) {
                crashed = true;
            }
        }
        Result r = Recover();
        ASSERT_TRUE(r.ok()) << recoveryCrash << ": " << r.message;
        EXPECT_TRUE(SameTree(Installed(), expected)) << recoveryCrash;
        EXPECT_EQ(std::filesystem::status(std::filesystem::u8path(In("private"))).permissions(), before)
            << recoveryCrash;
        if (recoveryCrash > 0 && !crashed)
            break;
        ASSERT_LT(recoveryCrash, 1000);
    }
}

#ifndef _WIN32
TEST_F(HostileTest, AReplacedFileNeverTakesTheAttributesOfAFileSwappedIn)
{
    // Someone who may write in the directory swaps a setuid file of the updater's in for
    // app.exe, and back, around each operation in turn: the new app.exe gets app.exe's mode
    // or the update fails; it never gets the other file's.
    Make(dir(), {{"helper", "a helper"}});
    ASSERT_EQ(chmod(In("helper").c_str(), 04755), 0);
    ASSERT_EQ(chmod(In("app.exe").c_str(), 0640), 0);
    std::vector<std::string> operations = Operations();
    for (std::size_t at = 1; at <= operations.size(); ++at) {
        Fresh();
        Make(dir(), {{"helper", "a helper"}});
        ASSERT_EQ(chmod(In("helper").c_str(), 04755), 0);
        ASSERT_EQ(chmod(In("app.exe").c_str(), 0640), 0);
        FaultFs fs(native_);
        std::size_t count = 0;
        int swaps = 0;
        auto swap = [&] {
            // renameat2's exchange would be one step; three renames are enough while the update waits.
            if (rename(In("app.exe").c_str(), In("x").c_str()) != 0)
                return;  // app.exe is in the work area at this moment
            EXPECT_EQ(rename(In("helper").c_str(), In("app.exe").c_str()), 0);
            EXPECT_EQ(rename(In("x").c_str(), In("helper").c_str()), 0);
            ++swaps;
        };
        fs.OnOperation([&](const std::string&) {
            ++count;
            if (count == at || count == at + 1)
                swap();
        });
        Result r = Run(fs);
        if (swaps % 2 != 0)
            swap();  // the update ended before it was swapped back
        struct stat st;
        ASSERT_EQ(lstat(In("app.exe").c_str(), &st), 0);
        if (r.ok())
            EXPECT_EQ(st.st_mode & 07777, 0640u) << "swapped at " << operations[at - 1];
        else
            EXPECT_TRUE(r.status == Status::kWrongVersion || r.status == Status::kInterrupted) << r.message;
    }
}
#endif

#ifndef _WIN32
TEST_F(HostileTest, AWorkAreaOfAnotherUserIsLeftAlone)
{
    // Someone who may write in the directory plants a work area whose journal would put their
    // own file in place of a program: a work area of another user's, or one others may write in,
    // is refused as it is.
    if (geteuid() != 0)
        GTEST_SKIP() << "needs to give a directory to another user";
    const std::string trojan = "not the program";
    JournalStep aside{JournalStep::kMoveAside, "app.exe", "old-0", trojan.size(), Sha256(trojan.data(), trojan.size())};
    std::string app = OldTree()["app.exe"];
    JournalStep place{JournalStep::kPlace, "app.exe", "new-0", app.size(), Sha256(app.data(), app.size())};
    Make(dir(),
         {{".qvpatch.tmp/journal", JournalPlan(PatchId(patch_), {aside, place})}, {".qvpatch.tmp/old-0", trojan}});
    for (int owner : {0, 1}) {
        if (owner == 0) {
            ASSERT_EQ(chown(In(".qvpatch.tmp").c_str(), 65534, 65534), 0);
        } else {
            ASSERT_EQ(chown(In(".qvpatch.tmp").c_str(), 0, 0), 0);
            ASSERT_EQ(chmod(In(".qvpatch.tmp").c_str(), 0777), 0);
        }
        for (int run = 0; run < 3; ++run) {
            Result r = run == 0 ? Run(native_) : run == 1 ? Run(native_, true) : Recover();
            EXPECT_EQ(r.status, Status::kInterrupted) << r.message;
        }
        EXPECT_EQ(Installed()["app.exe"], app);
        EXPECT_EQ(Installed()[".qvpatch.tmp/old-0"], trojan);
    }
}

TEST_F(HostileTest, AFileSavedAtItsNameDuringAnUndoStays)
{
    // Recovery hashes the placed file, then moves it back: a save of the user's that takes its
    // name in between is not the placed file, and stays where it was saved.
    std::vector<std::string> operations = Operations();
    FaultFs killer(native_);
    killer.CrashAt(0);
    long commitPoint = 0;
    for (std::size_t k = 0; k < operations.size(); ++k)
        if (operations[k] == "remove .qvpatch.tmp/journal")
            commitPoint = static_cast<long>(k + 1);
    ASSERT_GT(commitPoint, 0);
    killer.CrashAt(commitPoint);
    try {
        (void)Run(killer);  // ends in the crash
    } catch (const Crash&) {
    }
    Make(tmp_.path(), {{"save.txt", "the user's save"}});
    FaultFs fs(native_);
    bool saved = false;
    fs.OnOperation([&](const std::string& what) {
        if (!saved && what.find("rename readme.txt to .qvpatch.tmp/new-") == 0) {
            saved = true;
            std::filesystem::rename(std::filesystem::u8path(tmp_.Sub("save.txt")),
                                    std::filesystem::u8path(In("readme.txt")));
        }
    });
    bool found = false;
    Result r = qvpatch::Recover(fs, dir(), quiet_, nullptr, &found);
    ASSERT_TRUE(saved);
    EXPECT_EQ(Installed()["readme.txt"], "the user's save") << r.message;
}

TEST_F(HostileTest, AnEditThroughAnOpenFileAfterItMovedIsKept)
{
    // A program holds readme.txt open and writes to it after the update moved it aside (as the new
    // file is placed, or while the directories are flushed just before the commit point): the
    // update fails before its commit point, and the file comes back with the edit.
    for (const char* moment : {"rename .qvpatch.tmp/new-", "flush directory .qvpatch.tmp"}) {
        Fresh();
        int held = open(In("readme.txt").c_str(), O_WRONLY | O_APPEND);
        ASSERT_GE(held, 0);
        FaultFs fs(native_);
        bool moved = false, written = false;
        fs.OnOperation([&](const std::string& what) {
            moved |= what.find("rename readme.txt to .qvpatch.tmp/") == 0;
            if (moved && !written && what.find(moment) == 0) {
                written = true;
                EXPECT_EQ(write(held, "edit\n", 5), 5);
            }
        });
        Result r = Run(fs);
        close(held);
        ASSERT_TRUE(written) << moment;
        EXPECT_EQ(r.status, Status::kWrongVersion) << moment << ": " << r.message;
        Files expected = OldTree();
        expected["readme.txt"] += "edit\n";
        EXPECT_TRUE(SameTree(Installed(), expected)) << moment;
    }
}

TEST_F(HostileTest, AnOldFileIsMappedOnlyWhereNobodyCanWriteIt)
{
    // Mapped, an old file is under a lease: meanwhile nobody may open it to write (an open that
    // does not wait is refused), and once it is let go anyone may. A file another program holds
    // open to write is not mapped but read, and updates as well.
    std::unique_ptr<Tree> tree;
    ASSERT_TRUE(native_.OpenTree(dir(), &tree).ok());
    auto map = [&](std::unique_ptr<InputFile>* in) {
        const std::uint8_t* data = nullptr;
        std::uint64_t size = 0;
        EXPECT_TRUE(tree->OpenRead("app.exe", in).ok());
        EXPECT_TRUE((*in)->Map(&data, &size).ok());
        return data == nullptr ? std::string("<not mapped>") : std::string(reinterpret_cast<const char*>(data), size);
    };
    {
        std::unique_ptr<InputFile> in;
        const std::string mapped = map(&in);
        if (mapped == "<not mapped>")
            GTEST_SKIP() << "this file system gives no leases";
        EXPECT_TRUE(mapped == OldTree()["app.exe"]);
        errno = 0;
        EXPECT_EQ(open(In("app.exe").c_str(), O_WRONLY | O_NONBLOCK), -1);
        EXPECT_EQ(errno, EWOULDBLOCK);
    }
    const int held = open(In("app.exe").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(held, 0);
    {
        std::unique_ptr<InputFile> in;
        EXPECT_EQ(map(&in), "<not mapped>");
    }
    tree.reset();
    Result r = Run(native_);
    close(held);
    EXPECT_TRUE(r.ok()) << r.message;
    EXPECT_TRUE(SameTree(Installed(), NewTree()));
}

// The file name of the tree at dir, opened in *in and mapped: its first byte, or null where it is
// not mapped.
const std::uint8_t* MapFile(FileSystem& fs, const std::string& dir, const std::string& name,
                            std::unique_ptr<InputFile>* in, std::uint64_t* size)
{
    std::unique_ptr<Tree> tree;
    const std::uint8_t* data = nullptr;
    if (!fs.OpenTree(dir, &tree).ok() || !tree->OpenRead(name, in).ok() || !(*in)->Map(&data, size).ok())
        ADD_FAILURE() << "cannot open " << name;
    return data;
}

// The descriptor this process has open on path, or -1.
int OpenDescriptorOf(const std::string& path)
{
    const std::filesystem::path wanted = std::filesystem::canonical(path);
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        if (std::filesystem::read_symlink(fd.path(), error) == wanted)
            return std::stoi(fd.path().filename().string());
    }
    return -1;
}

TEST_F(HostileTest, AMappedOldFileChangedOnceItsLeaseIsGoneIsToldAndEndsNothing)
{
    // As after the system's lease-break time, the process having been stopped that long: the
    // lease is gone, and another program writes the file, or cuts it short under the mapping.
    // Reading the mapping then ends nothing (what was cut reads as zeros), and the file is told
    // as changed.
    for (bool cut : {false, true}) {
        Fresh();
        std::unique_ptr<InputFile> in;
        std::uint64_t size = 0;
        const std::uint8_t* data = MapFile(native_, dir(), "app.exe", &in, &size);
        if (data == nullptr)
            GTEST_SKIP() << "this file system gives no leases";
        EXPECT_TRUE(in->MappedIntact());
        const int fd = OpenDescriptorOf(In("app.exe"));
        ASSERT_GE(fd, 0);
        ASSERT_EQ(fcntl(fd, F_SETLEASE, F_UNLCK), 0);
        if (cut) {
            ASSERT_EQ(truncate(In("app.exe").c_str(), 1000), 0);
        } else {
            const int w = open(In("app.exe").c_str(), O_WRONLY);
            ASSERT_GE(w, 0);
            EXPECT_EQ(pwrite(w, "x", 1, 150000), 1);
            close(w);
        }
        std::size_t sum = 0;
        for (std::uint64_t i = 0; i < size; ++i)
            sum += data[i];
        EXPECT_GT(sum, 0u);
        if (cut) {
            EXPECT_EQ(data[size - 1], 0) << "past the cut";
        }
        EXPECT_FALSE(in->MappedIntact()) << (cut ? "cut short" : "written");
    }
}

TEST_F(HostileTest, ASignalOfAFaultNotInAMappedOldFileDoesWhatItDidBefore)
{
    // The guard of mapped old files, once made, passes on what is not a fault in one: a SIGBUS
    // sent by a process still ends this one, as it did before.
    std::unique_ptr<InputFile> in;
    std::uint64_t size = 0;
    if (MapFile(native_, dir(), "app.exe", &in, &size) == nullptr)
        GTEST_SKIP() << "this file system gives no leases";
    EXPECT_EXIT(
        {
            kill(getpid(), SIGBUS);
            std::exit(0);
        },
        [](int status) { return !(WIFEXITED(status) && WEXITSTATUS(status) == 0); }, "");
}

TEST_F(HostileTest, AReplacedFileKeepsItsOwnerAndNeverGainsASetUserBitForAnother)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs to give files to another user";
    ASSERT_EQ(chown(In("readme.txt").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(In("readme.txt").c_str(), 06755), 0);
    ASSERT_TRUE(Run(native_).ok());
    struct stat st;
    ASSERT_EQ(stat(In("readme.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 65534u);
    EXPECT_EQ(st.st_gid, 65534u);
    EXPECT_EQ(st.st_mode & 07777, 06755u);
}
#endif

TEST_F(HostileTest, AnEarlierJournalIsCheckedAgainstThePatch)
{
    // A journal of the first version, cut off before its first step: readme.txt's new file was
    // built, the old one not yet moved. Without the patch nothing tells what the files are. Its
    // updater read patches up to version 5, whose entries hold their files' whole hashes.
    AsVersion(kPackedTableFormatVersion);
    std::size_t readme = 0;
    for (std::size_t i = 0; i < patch_.entries.size(); ++i)
        if (patch_.entries[i].name == "readme.txt")
            readme = i;
    const std::string work = std::to_string(readme);
    auto v1Journal = [](const std::string& steps) {
        std::string text = "qvpatch journal 1\npatch\t" + steps;
        return text + "end\t" + ToHex(Sha256(text.data(), text.size())) + "\n";
    };
    std::string v1 = v1Journal(PatchId(patch_) + "\nstep\taside\treadme.txt\told-" + work +
                               "\nstep\tplace\treadme.txt\tnew-" + work + "\n");
    Make(dir(), {{".qvpatch.tmp/journal", v1}, {".qvpatch.tmp/new-" + work, NewTree()["readme.txt"]}});
    Files left = Installed();
    Result r = Recover();
    EXPECT_EQ(r.status, Status::kInterrupted) << r.message;
    EXPECT_NE(r.message.find("PATCH"), std::string::npos) << r.message;
    EXPECT_TRUE(SameTree(Installed(), left));
    // With the patch, no step is seen taken: the work area goes, and the update goes on.
    r = Run(native_);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_TRUE(SameTree(Installed(), NewTree()));

    // A placement whose new file is gone, with neither it nor the old file in place, is no step
    // this update took: the file there stays, and so does the journal.
    Fresh();
    std::string planted = v1Journal(PatchId(patch_) + "\nstep\tplace\treadme.txt\tnew-" + work + "\n");
    Make(dir(), {{".qvpatch.tmp/journal", planted}, {"readme.txt", "someone else's"}});
    left = Installed();
    r = Run(native_);
    EXPECT_EQ(r.status, Status::kInterrupted) << r.message;
    EXPECT_NE(r.message.find("not the file the update placed there"), std::string::npos) << r.message;
    EXPECT_TRUE(SameTree(Installed(), left));

    // A patch that holds only the start of each file's hash cannot vouch for such a journal's
    // steps: it stays for a person, whatever the files are.
    Fresh();
    AsVersion(kShortCheckFormatVersion);
    v1 = v1Journal(PatchId(patch_) + "\nstep\taside\treadme.txt\told-" + work + "\nstep\tplace\treadme.txt\tnew-" +
                   work + "\n");
    Make(dir(), {{".qvpatch.tmp/journal", v1}, {".qvpatch.tmp/new-" + work, NewTree()["readme.txt"]}});
    left = Installed();
    r = Run(native_);
    EXPECT_EQ(r.status, Status::kInterrupted) << r.message;
    EXPECT_NE(r.message.find("does not tell whole"), std::string::npos) << r.message;
    EXPECT_TRUE(SameTree(Installed(), left));
}

}  // namespace
