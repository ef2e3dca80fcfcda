// Updating a real tree on Linux from end to end: qvpatch builds the patch from two trees, qvapply
// applies it with the patch library beside it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "e2e_support.h"

using namespace e2e;

namespace {

const char kCancelText[] = "CANCEL BUTTON PUSHED.  ABORTING QUORVANE UPDATE!";

struct Outcome {
    int exitCode = -1;
    std::string out;
    std::string err;
    long peakKb = 0;  // the program's peak resident memory
};

// Runs a program to its end; with interruptAtStart, a SIGINT is already pending when it starts,
// as when the user presses Ctrl-C at once.
Outcome Execute(const TempDir& dir, std::vector<std::string> argv, bool interruptAtStart = false)
{
    sigset_t block, saved;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &saved);
    pid_t pid = fork();
    if (pid == 0) {
        int out = open((dir / "out.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open((dir / "err.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(err, 2);
        if (interruptAtStart)
            raise(SIGINT);
        else
            sigprocmask(SIG_SETMASK, &saved, nullptr);
        std::vector<char*> args;
        for (auto& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    sigprocmask(SIG_SETMASK, &saved, nullptr);
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    Outcome run;
    run.peakKb = usage.ru_maxrss;
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    run.out = ReadFile(dir / "out.txt");
    run.err = ReadFile(dir / "err.txt");
    return run;
}

void MakeTree(const std::string& root, const std::map<std::string, std::string>& files)
{
    for (const auto& [name, content] : files) {
        std::string path = root + "/" + name;
        std::system(("mkdir -p \"$(dirname '" + path + "')\"").c_str());
        WriteFile(path, content);
    }
}

std::map<std::string, std::string> ReadTree(const TempDir& dir, const std::string& root)
{
    std::map<std::string, std::string> files;
    std::system(("cd '" + root + "' && find . -type f | sort > '" + dir / "list.txt" + "'").c_str());
    for (const std::string& line : Lines(ReadFile(dir / "list.txt")))
        files[line.substr(2)] = ReadFile(root + "/" + line.substr(2));
    return files;
}

class UpdateTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string app(2 << 20, 'a');
        for (std::size_t i = 0; i < app.size(); i += 997)
            app[i] = static_cast<char>(i * 31);
        old_ = {{"bin/quorvane", app}, {"share/readme.txt", "1.0"}, {"share/old.txt", "gone"}};
        new_ = old_;
        new_["bin/quorvane"].replace(4096, 7, "1.1 new");
        new_["share/readme.txt"] = "1.1";
        new_.erase("share/old.txt");
        new_["share/added/notes.txt"] = "notes";
        MakeTree(dir_ / "old", old_);
        MakeTree(dir_ / "new", new_);
        MakeTree(dir_ / "installed", old_);
        mkdir((dir_ / "patches").c_str(), 0755);
        Outcome build = Execute(dir_, {QVPATCH_PATH, "build", dir_ / "old", dir_ / "new", dir_ / "patches/update.pat"});
        ASSERT_EQ(build.exitCode, 0) << build.err;
    }

    Outcome Apply(bool interruptAtStart = false)
    {
        return Execute(dir_, {QVAPPLY_PATH, dir_ / "installed", dir_ / "patches/update.pat"}, interruptAtStart);
    }

    TempDir dir_;
    std::map<std::string, std::string> old_, new_;
};

TEST_F(UpdateTest, QvapplyUpdatesTheTree)
{
    Outcome run = Apply();
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(ReadTree(dir_, dir_ / "installed"), new_);
    EXPECT_EQ(ReadFile(dir_ / "patches/qvsp.log"), "");
    // Once more: already at the target, which is a completed update too.
    EXPECT_EQ(Apply().exitCode, 1);
}

TEST_F(UpdateTest, QvapplyRefusesAnotherVersionAndChangesNothing)
{
    WriteFile(dir_ / "installed/share/readme.txt", "0.9");
    auto before = ReadTree(dir_, dir_ / "installed");
    EXPECT_EQ(Apply().exitCode, 0);
    EXPECT_EQ(ReadTree(dir_, dir_ / "installed"), before);
}

TEST_F(UpdateTest, CtrlCRollsBack)
{
    Outcome run = Apply(true);
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_EQ(ReadTree(dir_, dir_ / "installed"), old_);
    EXPECT_EQ(ReadFile(dir_ / "patches/qvsp.log"), kCancelText);
    EXPECT_FALSE(Exists(dir_ / "installed/.qvpatch.tmp"));
}

TEST_F(UpdateTest, QvpatchChecksAppliesAndDescribes)
{
    Outcome info = Execute(dir_, {QVPATCH_PATH, "info", dir_ / "patches/update.pat"});
    EXPECT_EQ(info.exitCode, 0);
    EXPECT_NE(info.out.find("changed     bin/quorvane"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("removed     share/old.txt"), std::string::npos);
    EXPECT_NE(info.out.find("added dir   share/added"), std::string::npos);

    Outcome check = Execute(dir_, {QVPATCH_PATH, "check", dir_ / "installed", dir_ / "patches/update.pat"});
    EXPECT_EQ(check.exitCode, 0);
    EXPECT_NE(check.out.find("would update: 2 changed, 1 added, 1 removed files"), std::string::npos) << check.out;
    EXPECT_EQ(ReadTree(dir_, dir_ / "installed"), old_);

    Outcome apply = Execute(dir_, {QVPATCH_PATH, "apply", dir_ / "installed", dir_ / "patches/update.pat"});
    EXPECT_EQ(apply.exitCode, 0) << apply.err;
    EXPECT_EQ(ReadTree(dir_, dir_ / "installed"), new_);

    WriteFile(dir_ / "junk.pat", "junk");
    Outcome corrupt = Execute(dir_, {QVPATCH_PATH, "apply", dir_ / "installed", dir_ / "junk.pat"});
    EXPECT_EQ(corrupt.exitCode, 3);
    EXPECT_NE(corrupt.err.find("qvpatch: corrupt patch: not a patch file"), std::string::npos) << corrupt.err;

    Outcome usage = Execute(dir_, {QVPATCH_PATH, "frobnicate"});
    EXPECT_EQ(usage.exitCode, 1);
    EXPECT_NE(usage.err.find("usage: qvpatch build"), std::string::npos);
    Outcome help = Execute(dir_, {QVPATCH_PATH, "--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("exit codes"), std::string::npos);

    // An existing patch file is never overwritten, and that is told before anything is built (here
    // before the missing old tree is found).
    Outcome again = Execute(dir_, {QVPATCH_PATH, "build", dir_ / "old", dir_ / "new", dir_ / "patches/update.pat"});
    EXPECT_EQ(again.exitCode, 10);
    Outcome early = Execute(dir_, {QVPATCH_PATH, "build", dir_ / "none", dir_ / "new", dir_ / "patches/update.pat"});
    EXPECT_EQ(early.exitCode, 10);
    EXPECT_NE(early.err.find("exists already"), std::string::npos) << early.err;
}

TEST_F(UpdateTest, QvpatchRecoverPutsAnInterruptedUpdateRight)
{
    Outcome nothing = Execute(dir_, {QVPATCH_PATH, "recover", dir_ / "installed"});
    EXPECT_EQ(nothing.exitCode, 0);
    EXPECT_NE(nothing.out.find("nothing to do"), std::string::npos);

    // An update killed after it moved a file aside: the journal lists the step, the file is in the
    // work area and not in its place.
    std::string work = dir_ / "installed/.qvpatch.tmp";
    mkdir(work.c_str(), 0755);
    WriteFile(work + "/journal", "");
    std::rename((dir_ / "installed/share/readme.txt").c_str(), (work + "/old-1").c_str());
    // The journal lists the step with the size and hash of the file it moved; the check over the
    // plan closes it, as the library writes it.
    auto sealed = [&](const std::string& plan) {
        WriteFile(dir_ / "plan.txt", plan);
        std::system(("printf 'end\\t%s\\n' \"$(sha256sum < '" + dir_ / "plan.txt" + "' | cut -c1-64)\" > '" +
                     dir_ / "end.txt" + "'")
                        .c_str());
        return plan + ReadFile(dir_ / "end.txt");
    };
    WriteFile(dir_ / "readme.txt", "1.0");
    std::system(("sha256sum < '" + dir_ / "readme.txt" + "' | cut -c1-64 > '" + dir_ / "hash.txt" + "'").c_str());
    std::string hash = Lines(ReadFile(dir_ / "hash.txt"))[0];
    std::string plan = "qvpatch journal 2\npatch\tsome-patch\nstep\taside\tshare/readme.txt\told-1\t3\t" + hash + "\n";
    WriteFile(work + "/journal", sealed(plan));

    // An update with another patch is refused; recover puts the file back.
    Outcome refused = Apply();
    EXPECT_EQ(refused.exitCode, 0);
    EXPECT_TRUE(Exists(work + "/journal"));
    Outcome recovered = Execute(dir_, {QVPATCH_PATH, "recover", dir_ / "installed"});
    EXPECT_EQ(recovered.exitCode, 0) << recovered.err;
    EXPECT_EQ(ReadTree(dir_, dir_ / "installed"), old_);
    EXPECT_FALSE(Exists(work));

    // A journal of the earlier version, which names files without their hashes, is put right
    // only with the patch that was being applied; here it is another one.
    mkdir(work.c_str(), 0755);
    std::rename((dir_ / "installed/share/readme.txt").c_str(), (work + "/old-1").c_str());
    WriteFile(work + "/journal",
              sealed("qvpatch journal 1\npatch\tsome-patch\nstep\taside\tshare/readme.txt\told-1\n"));
    Outcome earlier = Execute(dir_, {QVPATCH_PATH, "recover", dir_ / "installed"});
    EXPECT_EQ(earlier.exitCode, 9);
    EXPECT_NE(earlier.err.find("recover " + dir_ / "installed" + " PATCH"), std::string::npos) << earlier.err;
    Outcome other = Execute(dir_, {QVPATCH_PATH, "recover", dir_ / "installed", dir_ / "patches/update.pat"});
    EXPECT_EQ(other.exitCode, 9);
    EXPECT_NE(other.err.find("another patch"), std::string::npos) << other.err;
    EXPECT_TRUE(Exists(work + "/old-1"));
    std::system(("rm -rf '" + work + "'").c_str());
    WriteFile(dir_ / "installed/share/readme.txt", "1.0");

    // A damaged journal is refused and left alone.
    mkdir(work.c_str(), 0755);
    WriteFile(work + "/journal", plan + "end\t0000\n");
    Outcome damaged = Execute(dir_, {QVPATCH_PATH, "recover", dir_ / "installed"});
    EXPECT_EQ(damaged.exitCode, 9);
    EXPECT_NE(damaged.err.find("damaged"), std::string::npos) << damaged.err;
    EXPECT_TRUE(Exists(work + "/journal"));
}

TEST_F(UpdateTest, TwoUpdatesAtOnceEndWithOneUpdateAndNothingLost)
{
    // Three qvpatch apply of the same patch started together: the first to lock the directory
    // updates it, the others are refused at once (9) or find it up to date (0).
    for (int round = 0; round < 5; ++round) {
        MakeTree(dir_ / "installed", old_);
        std::system(("rm -rf '" + dir_ / "installed/share/added" + "'").c_str());
        std::vector<pid_t> pids;
        for (int k = 0; k < 3; ++k) {
            pid_t pid = fork();
            if (pid == 0) {
                int null = open("/dev/null", O_WRONLY);
                dup2(null, 1);
                dup2(null, 2);
                execl(QVPATCH_PATH, QVPATCH_PATH, "apply", (dir_ / "installed").c_str(),
                      (dir_ / "patches/update.pat").c_str(), static_cast<char*>(nullptr));
                _exit(127);
            }
            pids.push_back(pid);
        }
        int updated = 0;
        for (pid_t pid : pids) {
            int status = 0;
            waitpid(pid, &status, 0);
            ASSERT_TRUE(WIFEXITED(status));
            int code = WEXITSTATUS(status);
            EXPECT_TRUE(code == 0 || code == 9) << code;
            updated += code == 0;
        }
        EXPECT_GE(updated, 1);
        EXPECT_EQ(ReadTree(dir_, dir_ / "installed"), new_) << round;
        EXPECT_FALSE(Exists(dir_ / "installed/.qvpatch.tmp"));
    }
}

TEST_F(UpdateTest, TheZstdProgramDecodesADelta)
{
    if (std::system("command -v zstd >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "the zstd program is not installed";
    // A patch of one changed text file (binary files may get the match delta instead): its data
    // is the zstd delta.
    std::string oldText, newText;
    for (int i = 0; i < 5000; ++i) {
        oldText += "entry " + std::to_string(i * 31 % 4999) + " of the catalogue\n";
        newText += "entry " + std::to_string(i * 31 % 4999) + (i % 97 == 0 ? " (revised)" : "") + " of the catalogue\n";
    }
    std::system(("mkdir -p '" + dir_ / "o1" + "' '" + dir_ / "n1" + "'").c_str());
    WriteFile(dir_ / "o1/f", oldText);
    WriteFile(dir_ / "n1/f", newText);
    ASSERT_EQ(Execute(dir_, {QVPATCH_PATH, "build", dir_ / "o1", dir_ / "n1", dir_ / "one.pat"}).exitCode, 0);
    std::string patch = ReadFile(dir_ / "one.pat");
    // One changed entry: header 24 bytes, the packed entry table's length (8 bytes) and frame,
    // then the data, then the 32-byte integrity hash.
    ASSERT_GT(patch.size(), 32u + 32u);
    std::size_t tableLength = 0;
    for (int k = 7; k >= 0; --k)
        tableLength = tableLength << 8 | static_cast<unsigned char>(patch[24 + k]);
    std::size_t dataStart = 24 + 8 + tableLength;
    ASSERT_GT(patch.size(), dataStart + 32);
    WriteFile(dir_ / "delta.zst", patch.substr(dataStart, patch.size() - dataStart - 32));
    int rc = std::system(("zstd -q -d --long=30 --patch-from='" + dir_ / "o1/f" + "' '" + dir_ / "delta.zst" +
                          "' -o '" + dir_ / "decoded" + "'")
                             .c_str());
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(ReadFile(dir_ / "decoded"), newText);
}

// Whether a program's peak memory tells what it holds (not under AddressSanitizer, whose shadow
// and quarantine are most of it).
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryMeasures = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMemoryMeasures = false;
#else
constexpr bool kMemoryMeasures = true;
#endif
#else
constexpr bool kMemoryMeasures = true;
#endif

// A file too large to hold (here: beyond --hold 8) is applied reading its old version by
// position, and a patch too large to hold (an added file of 80 MiB that does not compress) is read
// by position too: the memory does not grow with either. The old file alone is 24 MiB, more than
// the whole run may take.
TEST_F(UpdateTest, AStreamedFileAppliesInMemoryThatDoesNotGrowWithIt)
{
    std::string big(24 << 20, '\0');
    std::uint32_t x = 1;
    for (std::size_t i = 0; i < big.size(); ++i) {
        x = x * 1103515245u + 12345u;
        big[i] = static_cast<char>(i % 4096 < 2048 ? (x >> 24) : i / 4096);  // random, then runs
    }
    std::string edited = big.substr(0, 5 << 20) + "an inserted piece" + big.substr(5 << 20);
    for (std::size_t i = 1 << 20; i < edited.size(); i += 1 << 20)
        edited[i] ^= 0x55;
    std::system(("mkdir -p '" + dir_ / "o2" + "' '" + dir_ / "n2" + "' '" + dir_ / "i2" + "'").c_str());
    WriteFile(dir_ / "o2/media.bin", big);
    WriteFile(dir_ / "n2/media.bin", edited);
    WriteFile(dir_ / "i2/media.bin", big);
    std::string noise(80 << 20, '\0');
    for (char& c : noise) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    WriteFile(dir_ / "n2/noise.bin", noise);
    std::string().swap(noise);
    // A forked child counts the pages it shares with this process until it starts the program.
    std::string().swap(big);
    std::string().swap(edited);
    Outcome build = Execute(
        dir_, {QVPATCH_PATH, "build", dir_ / "o2", dir_ / "n2", dir_ / "big.pat", "--hold", "8", "--level", "3"});
    ASSERT_EQ(build.exitCode, 0) << build.err;
    Outcome info = Execute(dir_, {QVPATCH_PATH, "info", dir_ / "big.pat"});
    EXPECT_NE(info.out.find("streamed match delta"), std::string::npos) << info.out;
    Outcome apply = Execute(dir_, {QVPATCH_PATH, "apply", dir_ / "i2", dir_ / "big.pat"});
    ASSERT_EQ(apply.exitCode, 0) << apply.err;
    if (kMemoryMeasures) {
        EXPECT_LT(apply.peakKb, 24 << 10) << "the apply held the old file or the patch";
    }
    EXPECT_TRUE(ReadFile(dir_ / "i2/media.bin") == ReadFile(dir_ / "n2/media.bin"));
    EXPECT_TRUE(ReadFile(dir_ / "i2/noise.bin") == ReadFile(dir_ / "n2/noise.bin"));
}

}  // namespace
