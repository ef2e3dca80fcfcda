// The journal of the commit: what a reader takes and refuses, and undo on the very file a step moved.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "journal.h"
#include "tree_support.h"

namespace {

using namespace qvpatch;
using namespace treetest;

using Files = std::map<std::string, std::string>;

class Quiet : public ApplyObserver {};

TEST(JournalTest, DamageIsRefusedNeverGuessedAt)
{
    std::vector<JournalStep> steps = {{JournalStep::kMoveAside, "a.txt", "old-1"},
                                      {JournalStep::kPlace, "a.txt", "new-1"}};
    std::string plan = JournalPlan("abc", steps);
    Journal journal;
    ASSERT_TRUE(ParseJournal(plan, &journal).ok());
    EXPECT_EQ(journal.patchId, "abc");
    ASSERT_EQ(journal.steps.size(), 2u);
    EXPECT_EQ(journal.steps[1].kind, JournalStep::kPlace);
    EXPECT_EQ(journal.steps[1].work, "new-1");
    // A journal cut short anywhere means no step was taken.
    for (std::size_t cut : {std::size_t{0}, plan.size() / 2, plan.size() - 1}) {
        ASSERT_TRUE(ParseJournal(plan.substr(0, cut), &journal).ok()) << cut;
        EXPECT_TRUE(journal.steps.empty()) << cut;
    }
    // Anything else is refused: a changed step, a step that leaves the directory, bytes after it.
    std::string changed = plan;
    changed[changed.find("a.txt")] = 'b';
    EXPECT_EQ(ParseJournal(changed, &journal).status, Status::kInterrupted);
    std::vector<JournalStep> escaping = {{JournalStep::kMoveAside, "../etc/passwd", "old-1"}};
    EXPECT_EQ(ParseJournal(JournalPlan("abc", escaping), &journal).status, Status::kInterrupted);
    EXPECT_EQ(ParseJournal(plan + "more\n", &journal).status, Status::kInterrupted);
}

TEST(JournalTest, AnUndoMovesOnlyTheFileItMoved)
{
    // A journal survived while the work area was half cleared: the new file of a placement is
    // gone, and the restored old file stands in its place. The undo of the placement leaves it.
    TempTree tmp;
    const std::string oldText = "old contents\n", newText = "new contents\n";
    JournalStep aside{JournalStep::kMoveAside, "a.txt", "old-0", oldText.size(),
                      Sha256(oldText.data(), oldText.size())};
    JournalStep place{JournalStep::kPlace, "a.txt", "new-0", newText.size(), Sha256(newText.data(), newText.size())};
    Make(tmp.path(), {{"a.txt", oldText}, {".qvpatch.tmp/journal", JournalPlan("id", {aside, place})}});
    Quiet quiet;
    bool found = false;
    Result r = Recover(NativeFileSystem(), tmp.path(), quiet, nullptr, &found);
    ASSERT_TRUE(r.ok()) << r.message;
    EXPECT_TRUE(found);
    EXPECT_TRUE(SameTree(Snapshot(NativeFileSystem(), tmp.path()), (Files{{"a.txt", oldText}})));

    // A copy in the work area that is not what was moved aside is never put in place.
    Make(tmp.path(), {{".qvpatch.tmp/journal", JournalPlan("id", {aside})}, {".qvpatch.tmp/old-0", "other"}});
    std::filesystem::remove(std::filesystem::u8path(tmp.path() + "/a.txt"));
    r = Recover(NativeFileSystem(), tmp.path(), quiet, nullptr, &found);
    EXPECT_EQ(r.status, Status::kInterrupted) << r.message;
    EXPECT_EQ(Snapshot(NativeFileSystem(), tmp.path()).count(".qvpatch.tmp/old-0"), 1u);
}

TEST(JournalTest, StepsNameOnlyWhatTheUpdateMakes)
{
    Digest h{};
    for (const auto& step : std::vector<JournalStep>{{JournalStep::kMoveAside, "a", "old-1/../../x", 1, h},
                                                     {JournalStep::kMoveAside, "a", "new-1", 1, h},
                                                     {JournalStep::kPlace, "a", "new-01", 1, h},
                                                     {JournalStep::kMakeDirectory, "a", "old-1"},
                                                     {JournalStep::kPlace, ".qvpatch.tmp/journal", "new-1", 1, h}}) {
        Journal journal;
        EXPECT_EQ(ParseJournal(JournalPlan("id", {step}), &journal).status, Status::kInterrupted) << step.work;
    }
    // A journal of the first version (no sizes or hashes) is still read: its steps are checked
    // against the patch that was being applied, or refused without it.
    std::string v1 = "qvpatch journal 1\npatch\tid\nstep\taside\ta.txt\told-3\n";
    v1 += "end\t" + ToHex(Sha256(v1.data(), v1.size())) + "\n";
    Journal journal;
    ASSERT_TRUE(ParseJournal(v1, &journal).ok());
    ASSERT_EQ(journal.steps.size(), 1u);
    EXPECT_FALSE(journal.steps[0].verified);
}

}  // namespace
