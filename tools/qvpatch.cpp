// qvpatch: builds a patch from two trees, applies or checks one against a directory, and tells what
// a patch holds. Exit codes are the patch engine's statuses (0 success; see --help).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "qvpatch/apply.h"
#include "qvpatch/build.h"
#include "qvpatch/patch_file.h"
#include "qvpatch/recovery.h"
#include "qvpatch/signature.h"
#include "qvpatch/system_text.h"

namespace {

using namespace qvpatch;

const char kUsage[] =
    "usage: qvpatch build OLD NEW PATCH [--level N] [--threads N] [--sign KEYFILE] [--hold MIB]\n"
    "                                                 make the patch that turns tree OLD into tree NEW,\n"
    "                                                 signed with the secret key in KEYFILE; a file whose\n"
    "                                                 old and new sizes add up to more than MIB (64) is\n"
    "                                                 encoded so that applying streams it\n"
    "       qvpatch keygen KEYFILE                    make a key pair: the secret key into KEYFILE (new,\n"
    "                                                 for its owner only), the public key's trust-file\n"
    "                                                 line on standard output\n"
    "       qvpatch apply DIR PATCH                   update DIR with PATCH (all or nothing)\n"
    "       qvpatch check DIR PATCH                   say what apply would do, changing nothing\n"
    "       qvpatch info PATCH                        list what PATCH holds\n"
    "       qvpatch recover DIR [PATCH]               put right an update of DIR that was interrupted\n"
    "       qvpatch --help\n"
    "\n"
    "exit codes: 0 success, 1 bad command line, 2 patch unreadable, 3 patch corrupt, 4 unsafe patch,\n"
    "            5 directory not at the expected version, 6 I/O error, 7 stopped, 8 out of memory,\n"
    "            9 interrupted update in the way, 10 build failed, 11 patch not trusted (not signed, or\n"
    "            signed by a key the directory's QVTRUST.TXT does not list, a bad signature, a damaged\n"
    "            trust file)\n";

bool IsTerminal() { return isatty(2) != 0; }

// Goes back to the start of the progress line and blanks it (no escape sequences, so that every
// console shows it).
void ClearLine() { std::fprintf(stderr, "\r%79s\r", ""); }

// A one-line progress bar on stderr, when stderr is a terminal.
class Progress : public ApplyObserver {
public:
    void FileStarted(const std::string& name) override
    {
        name_ = name;
        Draw(0);
    }
    void FileProgress(std::uint32_t fraction) override { Draw(fraction); }
    void FileDone() override { Draw(kProgressScale); }
    void Info(const std::string& text) override { Line(text); }
    void Warning(const std::string& text) override { Line("warning: " + text); }
    void Finish()
    {
        if (drawn_)
            std::fputs("\n", stderr);
        drawn_ = false;
    }

private:
    void Draw(std::uint32_t fraction)
    {
        if (!IsTerminal())
            return;
        int percent = static_cast<int>(static_cast<std::uint64_t>(fraction) * 100 / kProgressScale);
        int filled = percent * 30 / 100;
        ClearLine();
        std::fprintf(stderr, "[%s%s] %3d%% ", std::string(filled, '#').c_str(), std::string(30 - filled, '-').c_str(),
                     percent);
        WriteText(stderr, name_);
        std::fflush(stderr);
        drawn_ = true;
    }
    void Line(const std::string& text)
    {
        Finish();
        WriteText(stderr, "qvpatch: " + text + "\n");
    }
    std::string name_;
    bool drawn_ = false;
};

int Report(const Result& r)
{
    if (!r.ok())
        WriteText(stderr, "qvpatch: " + r.message + "\n");
    return static_cast<int>(r.status);
}

Result WritePatch(const std::string& path, const std::vector<std::uint8_t>& bytes)
{
    // Written beside its final name and named when complete, so no half patch is ever left.
    bool existed = false;
    Result r = NativeFileSystem().WriteNewFile(path, bytes.data(), bytes.size(), false, &existed);
    if (existed)
        return Fail(Status::kBuildFailed, path + " exists already; choose another name");
    return r;
}

// The largest secret key file that is read.
constexpr std::uint64_t kMaxKeyFileBytes = 4096;

Result ReadSecretKey(const std::string& path, SecretKey* key)
{
    std::unique_ptr<InputFile> in;
    std::vector<std::uint8_t> bytes;
    FileInfo info;
    Result r = NativeFileSystem().OpenFile(path, &in);
    if (r.ok())
        r = in->Info(&info);
    if (r.ok())
        r = ReadAll(*in, path, kMaxKeyFileBytes, &bytes);
    if (!r.ok())
        return Fail(Status::kBadCommandLine, "cannot read the secret key: " + r.message);
    if ((info.mode & 077) != 0)
        WriteText(stderr, "qvpatch: warning: " + path + " may be read by others than its owner\n");
    r = ParseSecretKeyText(std::string(bytes.begin(), bytes.end()), key);
    // Its halves must belong together: found now, not after a build of an hour.
    Signature probe;
    if (r.ok() && !Sign(*key, Digest{}, &probe).ok())
        r = Fail(Status::kBadCommandLine, "the secret key and its public key do not belong together");
    return r.ok() ? r : Fail(r.status, path + ": " + r.message);
}

int KeyGen(const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return Report(Fail(Status::kBadCommandLine, "keygen needs KEYFILE"));
    SecretKey key;
    Result r = GenerateKey(&key);
    if (!r.ok())
        return Report(r);
    const std::string text = SecretKeyText(key);
    bool existed = false;
    r = NativeFileSystem().WriteNewFile(args[0], reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), true,
                                        &existed);
    if (existed)
        return Report(Fail(Status::kBadCommandLine, args[0] + " exists already; a key is never overwritten"));
    if (!r.ok())
        return Report(r);
    WriteText(stderr, "secret key written to " + args[0] + " (key " + Fingerprint(key.publicKey) +
                          "); keep it private. The line for a trust file:\n");
    std::printf("%s\n", PublicKeyText(key.publicKey).c_str());
    return 0;
}

int Build(const std::vector<std::string>& args)
{
    BuildOptions options;
    std::vector<std::string> paths;
    std::string keyFile;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--sign" && i + 1 < args.size()) {
            keyFile = args[++i];
            continue;
        }
        if (args[i] == "--level" && i + 1 < args.size()) {
            options.level = std::atoi(args[++i].c_str());
            if (options.level < 1 || options.level > 22)
                return Report(Fail(Status::kBadCommandLine, "the level runs from 1 to 22"));
        } else if (args[i] == "--threads" && i + 1 < args.size()) {
            int threads = std::atoi(args[++i].c_str());
            if (threads < 1 || threads > 64)
                return Report(Fail(Status::kBadCommandLine, "the threads run from 1 to 64"));
            options.threads = static_cast<unsigned>(threads);
        } else if (args[i] == "--hold" && i + 1 < args.size()) {
            long mib = std::atol(args[++i].c_str());
            if (mib < 0 || static_cast<std::uint64_t>(mib) > kMaxHeldBytes >> 20)
                return Report(Fail(Status::kBadCommandLine,
                                   "--hold runs from 0 to " + std::to_string(kMaxHeldBytes >> 20) + " MiB"));
            options.heldBytes = static_cast<std::uint64_t>(mib) << 20;
        } else {
            paths.push_back(args[i]);
        }
    }
    if (paths.size() != 3)
        return Report(Fail(Status::kBadCommandLine, "build needs OLD NEW PATCH"));
    // A patch is never written over another (WritePatch makes sure); said now rather than after a
    // build of an hour.
    std::unique_ptr<InputFile> existing;
    if (NativeFileSystem().OpenFile(paths[2], &existing).ok())
        return Report(Fail(Status::kBuildFailed, paths[2] + " exists already; choose another name"));
    existing.reset();
    // The key is read first: a build of an hour is not lost to a mistyped key file.
    SecretKey key;
    if (!keyFile.empty()) {
        Result read = ReadSecretKey(keyFile, &key);
        if (!read.ok())
            return Report(read);
    }
    options.onFile = [](const std::string& name, std::size_t index, std::size_t count) {
        if (IsTerminal()) {
            ClearLine();
            std::fprintf(stderr, "[%zu/%zu] ", index, count);
            WriteText(stderr, name);
            std::fflush(stderr);
        }
    };
    Patch patch;
    Result r = BuildPatch(NativeFileSystem(), paths[0], paths[1], options, &patch);
    if (IsTerminal())
        ClearLine();
    std::vector<std::uint8_t> bytes;
    if (r.ok() && !keyFile.empty())
        r = SerializeSigned(patch, key, &bytes);
    else if (r.ok())
        bytes = Serialize(patch);
    if (r.ok())
        r = WritePatch(paths[2], bytes);
    if (r.ok()) {
        WriteText(stdout, paths[2]);
        std::printf(": %zu entries, %zu bytes", patch.entries.size(), bytes.size());
        if (!keyFile.empty())
            std::printf(", signed by key %s", Fingerprint(key.publicKey).c_str());
        std::printf("\n");
    }
    return Report(r);
}

int ApplyOrCheck(const std::vector<std::string>& args, bool checkOnly)
{
    if (args.size() != 2)
        return Report(Fail(Status::kBadCommandLine, std::string(checkOnly ? "check" : "apply") + " needs DIR PATCH"));
    Patch patch;
    Result r = LoadPatchFile(NativeFileSystem(), args[1], &patch);
    if (!r.ok())
        return Report(r);
    Progress progress;
    ApplySummary summary;
    ApplyOptions options;
    options.checkOnly = checkOnly;
    r = Apply(NativeFileSystem(), args[0], patch, progress, options, &summary);
    progress.Finish();
    if (r.ok() && !summary.alreadyCurrent)
        std::printf("%s: %d changed, %d added, %d removed files; %d added, %d removed directories\n",
                    checkOnly ? "would update" : "updated", summary.changedFiles, summary.addedFiles,
                    summary.removedFiles, summary.addedDirectories, summary.removedDirectories);
    if (r.ok() && summary.alreadyCurrent)
        std::printf("already up to date\n");
    return Report(r);
}

int Recover(const std::vector<std::string>& args)
{
    if (args.size() != 1 && args.size() != 2)
        return Report(Fail(Status::kBadCommandLine, "recover needs DIR, and may name the PATCH being applied"));
    // The patch, when given, is what the interrupted update was applying: a journal of another
    // patch is refused, and one of an earlier version is checked against it.
    Patch patch;
    Result r = args.size() == 2 ? LoadPatchFile(NativeFileSystem(), args[1], &patch) : Result::Ok();
    if (!r.ok())
        return Report(r);
    Progress progress;
    bool found = false;
    r = qvpatch::Recover(NativeFileSystem(), args[0], progress, args.size() == 2 ? &patch : nullptr, &found);
    progress.Finish();
    if (r.ok())
        std::printf(found ? "the directory is as it was before the interrupted update\n"
                          : "no interrupted update: nothing to do\n");
    return Report(r);
}

int Info(const std::vector<std::string>& args)
{
    if (args.size() != 1)
        return Report(Fail(Status::kBadCommandLine, "info needs PATCH"));
    Patch patch;
    Result r = LoadPatchFile(NativeFileSystem(), args[0], &patch);
    if (!r.ok())
        return Report(r);
    std::printf("format %u, %zu entries, data %llu bytes\n", patch.version, patch.entries.size(),
                static_cast<unsigned long long>(patch.DataSize()));
    // A signature that does not verify never gets here: the patch is not read.
    if (patch.signature.present)
        std::printf("signed by key %s (valid): %s\n", Fingerprint(patch.signature.key).c_str(),
                    PublicKeyText(patch.signature.key).c_str());
    else
        std::printf("not signed\n");
    for (const Entry& e : patch.entries) {
        std::printf("%-11s ", EntryKindName(e.kind));
        WriteText(stdout, e.name);
        if (e.HasOld())
            std::printf("  old %llu %s", static_cast<unsigned long long>(e.oldSize),
                        ToHex(e.oldHash).substr(0, 16).c_str());
        if (e.HasNew())
            std::printf("  new %llu %s  %s %llu bytes", static_cast<unsigned long long>(e.newSize),
                        ToHex(e.newHash).substr(0, 16).c_str(), CodecName(e.codec),
                        static_cast<unsigned long long>(e.dataLength));
        std::printf("\n");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(SystemToUtf8(argv[i]));
    if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
        std::fputs(kUsage, args.empty() ? stderr : stdout);
        return args.empty() ? static_cast<int>(Status::kBadCommandLine) : 0;
    }
    std::string command = args[0];
    args.erase(args.begin());
    if (command == "build")
        return Build(args);
    if (command == "apply")
        return ApplyOrCheck(args, false);
    if (command == "check")
        return ApplyOrCheck(args, true);
    if (command == "info")
        return Info(args);
    if (command == "keygen")
        return KeyGen(args);
    if (command == "recover")
        return Recover(args);
    std::fprintf(stderr, "qvpatch: unknown command \"%s\"\n%s", command.c_str(), kUsage);
    return static_cast<int>(Status::kBadCommandLine);
}
