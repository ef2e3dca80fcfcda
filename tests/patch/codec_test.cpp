// The codecs: the table the reader, decoder and builder follow, kept together with the format's
// description, and a delta that decodes only to its declared size.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "codec.h"
#include "codecs.h"
#include "qvpatch/patch_file.h"

namespace {

using namespace qvpatch;

TEST(PatchCodecTest, DeltaDecodesOnlyToTheDeclaredSize)
{
    std::string old(200000, 'o'), now = old;
    now.replace(1000, 5, "fresh");
    std::vector<std::uint8_t> delta;
    ASSERT_TRUE(EncodeZstd(reinterpret_cast<const std::uint8_t*>(now.data()), now.size(),
                           reinterpret_cast<const std::uint8_t*>(old.data()), old.size(), 19, &delta)
                    .ok());
    EXPECT_LT(delta.size(), 200u);
    Entry e;
    e.kind = EntryKind::kChangedFile;
    e.codec = Codec::kZstdDelta;
    e.name = "f";
    e.newSize = now.size();
    std::string out;
    auto sink = [&](const std::uint8_t* d, std::size_t n) {
        out.append(reinterpret_cast<const char*>(d), n);
        return Result::Ok();
    };
    const auto* oldBytes = reinterpret_cast<const std::uint8_t*>(old.data());
    ASSERT_TRUE(DecodeEntry(e, DataSource(delta.data(), delta.size()), oldBytes, old.size(), sink).ok());
    EXPECT_EQ(out, now);

    // A declared size that differs, bytes after the frame, a cut frame, another old file.
    Entry wrong = e;
    wrong.newSize = now.size() - 1;
    EXPECT_EQ(DecodeEntry(wrong, DataSource(delta.data(), delta.size()), oldBytes, old.size(), sink).status,
              Status::kPatchCorrupt);
    std::vector<std::uint8_t> longer = delta;
    longer.push_back(0);
    EXPECT_EQ(DecodeEntry(e, DataSource(longer.data(), longer.size()), oldBytes, old.size(), sink).status,
              Status::kPatchCorrupt);
    EXPECT_EQ(DecodeEntry(e, DataSource(delta.data(), delta.size() - 3), oldBytes, old.size(), sink).status,
              Status::kPatchCorrupt);
    std::string other(200000, 'x');
    out.clear();
    Result r = DecodeEntry(e, DataSource(delta.data(), delta.size()),
                           reinterpret_cast<const std::uint8_t*>(other.data()), other.size(), sink);
    EXPECT_TRUE(!r.ok() || out != now);

    // Read by a loader: decoded while it is checked, whose verdict comes first, once. A file
    // changed under the decoding (its check fails) is told as such, not as a damaged patch. The
    // check is let start before the frame is decoded, so that it goes on beside it.
    for (const std::string* read : {&old, &other}) {
        int checks = 0, starts = 0;
        std::size_t outAtStart = 0;
        OldLoad load{[&](OldBytes* bytes, const OldLoad::Progress&) {
                         *bytes = OldBytes{reinterpret_cast<const std::uint8_t*>(read->data()), read->size()};
                         return Result::Ok();
                     },
                     [&] {
                         ++checks;
                         return read == &old ? Result::Ok() : Fail(Status::kWrongVersion, "changed");
                     },
                     nullptr, nullptr, nullptr};
        load.recordsStart = [&] {
            ++starts;
            outAtStart = out.size();
            EXPECT_EQ(checks, 0);
        };
        out.clear();
        r = DecodeEntry(e, DataSource(delta.data(), delta.size()), nullptr, 0, sink, nullptr, &load);
        EXPECT_EQ(starts, 1);
        EXPECT_EQ(outAtStart, 0u);
        EXPECT_EQ(checks, 1);
        EXPECT_EQ(r.status, read == &old ? Status::kOk : Status::kWrongVersion) << r.message;
        Entry cut = e;
        cut.newSize += 1;
        checks = 0;
        EXPECT_EQ(DecodeEntry(cut, DataSource(delta.data(), delta.size()), nullptr, 0, sink, nullptr, &load).status,
                  read == &old ? Status::kPatchCorrupt : Status::kWrongVersion);
        EXPECT_EQ(checks, 1);
    }
    EXPECT_EQ(out.size(), now.size());
}

TEST(PatchCodecTest, TheFormatDescriptionNamesEveryCodecOfTheTable)
{
    // Each codec has its row in docs/patch-format.md: its value and its name.
    std::ifstream in(QV_PATCH_FORMAT_DOC);
    ASSERT_TRUE(in) << QV_PATCH_FORMAT_DOC;
    std::stringstream text;
    text << in.rdbuf();
    for (const CodecInfo& codec : Codecs()) {
        std::string row = "| " + std::to_string(static_cast<int>(codec.value)) + " | " + codec.name;
        EXPECT_NE(text.str().find(row), std::string::npos) << "no row \"" << row << "\" in the format's description";
        // The reader refuses it in a patch older than the codec, and takes it in the newest.
        if (codec.since > kOldestFormatVersion) {
            EXPECT_FALSE(Serves(codec, EntryKind::kChangedFile, static_cast<std::uint16_t>(codec.since - 1)));
        }
        EXPECT_TRUE(Serves(codec, EntryKind::kChangedFile, kFormatVersion));
        EXPECT_EQ(codec.decode == nullptr, codec.shared) << codec.name;
    }
    EXPECT_EQ(FindCodec(200), nullptr);
    EXPECT_STREQ(CodecName(Codec::kMatchDelta), "match delta");
}

}  // namespace
