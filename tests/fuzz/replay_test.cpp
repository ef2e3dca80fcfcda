// The fuzz targets' saved inputs, replayed as ordinary tests: each must go through its target.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_targets.h"

namespace {

struct BrokenPromise {
    std::string what;
};

[[noreturn]] void Report(const char* what) { throw BrokenPromise{what}; }

// Every saved input of the target; one that breaks a promise is a failure that names it, and the
// others still run.
int Replay(const std::string& target, int (*fuzz)(const std::uint8_t*, std::size_t))
{
    SetFuzzFailureHandler(Report);
    int count = 0;
    std::filesystem::path dir = std::filesystem::path(QV_FUZZ_CORPUS) / target;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        try {
            fuzz(bytes.data(), bytes.size());
        } catch (const BrokenPromise& broken) {
            ADD_FAILURE() << target << " input " << entry.path().filename().string() << ": " << broken.what;
        }
        ++count;
    }
    return count;
}

TEST(FuzzReplay, Parse) { EXPECT_GT(Replay("parse", FuzzParse), 0); }
TEST(FuzzReplay, Decode) { EXPECT_GT(Replay("decode", FuzzDecode), 0); }
TEST(FuzzReplay, Apply) { EXPECT_GT(Replay("apply", FuzzApply), 0); }

}  // namespace
