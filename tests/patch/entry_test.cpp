// The patch library's entry as qvapply calls it: the command line, the callback messages and the
// documented statuses, against the real library of the build.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "qvpatch/build.h"
#include "qvpatch/signature.h"
#include "patchw32.h"
#include "tree_support.h"

namespace {

using namespace qvpatch;
using namespace treetest;

// What the library said, and when to stop.
struct Conversation {
    std::vector<std::string> messages;  // "7 name", "5 fraction", "8", "21", "3 text", ...
    int stopAtQuery = -1;
    int queries = 0;
};
Conversation* g_conversation = nullptr;
char g_empty[] = "";

void* PATCHW32_API Callback(int id, void* param)
{
    Conversation& c = *g_conversation;
    switch (id) {
    case PATCH_MSG_PROGRESS: c.messages.push_back("5 " + std::to_string(*static_cast<std::uint32_t*>(param))); break;
    case PATCH_MSG_CONTINUE:
        c.messages.push_back("21");
        if (++c.queries == c.stopAtQuery)
            return nullptr;
        break;
    case PATCH_MSG_FILE_DONE: c.messages.push_back("8"); break;
    default: c.messages.push_back(std::to_string(id) + " " + (param ? static_cast<const char*>(param) : "")); break;
    }
    return g_empty;
}

class EntryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_conversation = &conversation_;
        std::string big(3 << 20, 'b');
        for (std::size_t i = 0; i < big.size(); i += 4099)
            big[i] = static_cast<char>(i);
        old_ = {{"big.bin", big}, {"small.txt", "small"}};
        auto next = old_;
        next["big.bin"][12345] = '!';
        next["small.txt"] = "small, changed";
        new_ = next;
        Make(tmp_.Sub("old"), old_);
        Make(tmp_.Sub("new"), new_);
        Make(tmp_.Sub("dir"), old_);
        Patch patch;
        BuildOptions options;
        options.level = 3;
        ASSERT_TRUE(BuildPatch(NativeFileSystem(), tmp_.Sub("old"), tmp_.Sub("new"), options, &patch).ok());
        std::vector<std::uint8_t> bytes = Serialize(patch);
        Make(tmp_.path(), {{"update.pat", std::string(bytes.begin(), bytes.end())}});
    }

    int Call(const std::string& commandLine) { return PatchApply(commandLine.c_str(), Callback, 1); }
    std::string Line() const { return tmp_.Sub("dir") + " " + tmp_.Sub("update.pat"); }

    TempTree tmp_;
    Conversation conversation_;
    std::map<std::string, std::string> old_, new_;
};

TEST_F(EntryTest, UpdatesAndTellsEachFileAsQvapplyReadsIt)
{
    EXPECT_EQ(Call(Line()), 0);
    EXPECT_EQ(Snapshot(NativeFileSystem(), tmp_.Sub("dir")), new_);
    const auto& m = conversation_.messages;
    // Each file: its name, progress up to the whole scale, then done; stop queries in between.
    auto start = std::find(m.begin(), m.end(), "7 big.bin");
    ASSERT_NE(start, m.end());
    auto done = std::find(start, m.end(), "8");
    ASSERT_NE(done, m.end());
    EXPECT_EQ(*(done - 1), "21");
    EXPECT_EQ(std::count(start, done, "21"), 3) << "one question per MiB of output";
    EXPECT_NE(std::find(start, done, "5 32768"), done);
    EXPECT_NE(std::find(m.begin(), m.end(), "7 small.txt"), m.end());
    EXPECT_EQ(std::count_if(m.begin(), m.end(), [](const std::string& s) { return s.rfind("3 ", 0) == 0; }), 0);

    // Again: already up to date, status 0, told as information.
    conversation_.messages.clear();
    EXPECT_EQ(Call(Line()), 0);
    EXPECT_NE(std::find_if(
                  conversation_.messages.begin(), conversation_.messages.end(),
                  [](const std::string& s) { return s.rfind("1 ", 0) == 0 && s.find("already") != std::string::npos; }),
              conversation_.messages.end());
}

TEST_F(EntryTest, AStopRequestRollsBack)
{
    conversation_.stopAtQuery = 9;  // in the middle of building big.bin
    EXPECT_EQ(Call(Line()), PATCH_STOPPED);
    EXPECT_EQ(Snapshot(NativeFileSystem(), tmp_.Sub("dir")), old_);
    EXPECT_EQ(conversation_.messages.back().rfind("3 stopped on request", 0), 0u) << conversation_.messages.back();
}

TEST_F(EntryTest, EachFailureHasItsStatusAndReason)
{
    EXPECT_EQ(Call(tmp_.Sub("dir")), PATCH_BAD_COMMAND_LINE);
    EXPECT_EQ(Call(tmp_.Sub("dir") + " "), PATCH_BAD_COMMAND_LINE);
    EXPECT_EQ(PatchApply(Line().c_str(), Callback, 0), PATCH_BAD_COMMAND_LINE);
    EXPECT_EQ(Call(tmp_.Sub("dir") + " " + tmp_.Sub("missing.pat")), PATCH_UNREADABLE);
    Make(tmp_.path(), {{"junk.pat", "not a patch at all, not at all, not at all, not at all"}});
    EXPECT_EQ(Call(tmp_.Sub("dir") + " " + tmp_.Sub("junk.pat")), PATCH_CORRUPT);
    EXPECT_EQ(Call(tmp_.Sub("nowhere") + " " + tmp_.Sub("update.pat")), PATCH_BAD_COMMAND_LINE);

    Make(tmp_.Sub("dir"), {{"small.txt", "edited"}});
    conversation_.messages.clear();
    EXPECT_EQ(Call(Line()), PATCH_WRONG_VERSION);
    ASSERT_FALSE(conversation_.messages.empty());
    EXPECT_EQ(conversation_.messages.back().rfind("3 directory not at the expected version", 0), 0u);
    EXPECT_NE(conversation_.messages.back().find("small.txt"), std::string::npos);
    EXPECT_EQ(Snapshot(NativeFileSystem(), tmp_.Sub("dir"))["small.txt"], "edited");

    // No callback at all is allowed too.
    EXPECT_EQ(PatchApply(Line().c_str(), nullptr, 1), PATCH_WRONG_VERSION);
}

TEST_F(EntryTest, AnInstallationThatKeepsATrustFileTakesOnlyASignedPatch)
{
    SecretKey key;
    ASSERT_TRUE(GenerateKey(&key).ok());
    Make(tmp_.Sub("dir"), {{kTrustFileName, PublicKeyText(key.publicKey) + "\r\n"}});
    auto before = Snapshot(NativeFileSystem(), tmp_.Sub("dir"));
    EXPECT_EQ(Call(Line()), PATCH_UNTRUSTED);
    ASSERT_FALSE(conversation_.messages.empty());
    EXPECT_EQ(conversation_.messages.back().rfind("3 patch not trusted", 0), 0u) << conversation_.messages.back();
    EXPECT_EQ(Snapshot(NativeFileSystem(), tmp_.Sub("dir")), before);

    Patch patch;
    BuildOptions options;
    options.level = 3;
    ASSERT_TRUE(BuildPatch(NativeFileSystem(), tmp_.Sub("old"), tmp_.Sub("new"), options, &patch).ok());
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(SerializeSigned(patch, key, &bytes).ok());
    Make(tmp_.path(), {{"signed.pat", std::string(bytes.begin(), bytes.end())}});
    EXPECT_EQ(Call(tmp_.Sub("dir") + " " + tmp_.Sub("signed.pat")), PATCH_OK);
    auto expected = new_;
    expected[kTrustFileName] = PublicKeyText(key.publicKey) + "\r\n";
    EXPECT_EQ(Snapshot(NativeFileSystem(), tmp_.Sub("dir")), expected);
}

}  // namespace
