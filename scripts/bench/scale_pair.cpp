// Writes a deterministic pair of large files for the scale benchmark: an old file that looks like
// a program (code-like runs, tables and strings drawn from a pool of blocks, so that it repeats
// as programs do) and a new file made from it with scattered small changes, inserted, deleted and
// moved blocks. Memory stays small whatever the size: the old file is written as it is made, the
// new one read back from it by position.
//
//   scale_pair SEED SIZE_MIB OLD NEW
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Rng {
    std::uint64_t s;
    std::uint64_t Next()
    {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
    std::uint64_t Below(std::uint64_t n) { return Next() % n; }
};

constexpr std::size_t kBlock = 64 << 10;

// One block of a program: instructions (a few opcodes with small operands, calls with
// displacements), a table of addresses, or text.
std::vector<std::uint8_t> MakeBlock(Rng& rng)
{
    std::vector<std::uint8_t> b;
    b.reserve(kBlock);
    const int kind = static_cast<int>(rng.Below(10));
    while (b.size() < kBlock) {
        if (kind < 7) {
            static const std::uint8_t kOps[] = {0x48, 0x89, 0x8b, 0x83, 0xc3, 0x55, 0x5d, 0x31, 0xc0, 0x74, 0x75, 0x0f};
            b.push_back(kOps[rng.Below(sizeof kOps)]);
            if (rng.Below(8) == 0) {
                b.push_back(0xe8);  // a call, its displacement small and signed
                std::int32_t d = static_cast<std::int32_t>(rng.Below(1 << 20)) - (1 << 19);
                for (int i = 0; i < 4; ++i)
                    b.push_back(static_cast<std::uint8_t>(static_cast<std::uint32_t>(d) >> (8 * i)));
            } else {
                b.push_back(static_cast<std::uint8_t>(rng.Below(32)));
            }
        } else if (kind < 9) {
            std::uint64_t base = 0x140000000ull + rng.Below(1 << 24) * 16;
            for (int i = 0; i < 8; ++i)
                b.push_back(static_cast<std::uint8_t>(base >> (8 * i)));
        } else {
            static const char* kWords[] = {"error ", "file ", "open ", "the ", "cannot ", "value ", "%s\n", "data "};
            for (const char* c = kWords[rng.Below(8)]; *c; ++c)
                b.push_back(static_cast<std::uint8_t>(*c));
        }
    }
    b.resize(kBlock);
    return b;
}

bool WriteAll(std::FILE* f, const std::uint8_t* p, std::size_t n) { return std::fwrite(p, 1, n, f) == n; }

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: scale_pair SEED SIZE_MIB OLD NEW\n");
        return 1;
    }
    Rng rng{std::strtoull(argv[1], nullptr, 10) * 2654435761u + 1};
    const std::uint64_t size = std::strtoull(argv[2], nullptr, 10) << 20;
    std::FILE* old = std::fopen(argv[3], "wb+");
    std::FILE* next = std::fopen(argv[4], "wb");
    if (old == nullptr || next == nullptr) {
        std::perror("scale_pair");
        return 1;
    }
    // The old file: blocks from a pool of 512, each taken with a few bytes of its own.
    std::vector<std::vector<std::uint8_t>> pool;
    for (int i = 0; i < 512; ++i)
        pool.push_back(MakeBlock(rng));
    for (std::uint64_t at = 0; at < size; at += kBlock) {
        std::vector<std::uint8_t> b = pool[rng.Below(pool.size())];
        for (int i = 0; i < 16; ++i)
            b[rng.Below(kBlock)] = static_cast<std::uint8_t>(rng.Next());
        if (!WriteAll(old, b.data(), static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, size - at))))
            return 1;
    }
    std::fflush(old);

    // The new file, in pieces of the old: every 64 KiB or so an 8-byte change; every 64 MiB a
    // block of 100 KB inserted, one of 64 KiB deleted, and 1 MiB moved from far away.
    std::vector<std::uint8_t> buffer(1 << 20);
    auto copy = [&](std::uint64_t from, std::uint64_t length) {
        while (length > 0) {
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, buffer.size()));
            if (std::fseek(old, static_cast<long>(from), SEEK_SET) != 0 || std::fread(buffer.data(), 1, n, old) != n)
                std::exit(1);
            // Scattered small changes.
            for (std::size_t i = rng.Below(65536); i < n; i += 32768 + rng.Below(65536))
                for (std::size_t k = 0; k < 8 && i + k < n; ++k)
                    buffer[i + k] = static_cast<std::uint8_t>(rng.Next());
            if (!WriteAll(next, buffer.data(), n))
                std::exit(1);
            from += n;
            length -= n;
        }
    };
    const std::uint64_t kStretch = 64ull << 20;
    for (std::uint64_t at = 0; at < size; at += kStretch) {
        const std::uint64_t end = std::min(size, at + kStretch);
        const std::uint64_t cut = at + (end - at) / 2;
        copy(at, cut - at);
        std::vector<std::uint8_t> inserted = MakeBlock(rng);
        inserted.resize(100000, 0x90);
        if (!WriteAll(next, inserted.data(), inserted.size()))
            return 1;
        const std::uint64_t resume = std::min(end, cut + kBlock);  // a block deleted
        const std::uint64_t moveFrom = rng.Below(size > (1 << 20) ? size - (1 << 20) : 1);
        copy(moveFrom, std::min<std::uint64_t>(1 << 20, size));  // a block from elsewhere
        copy(resume, end - resume);
    }
    std::fclose(old);
    return std::fclose(next) == 0 ? 0 : 1;
}
