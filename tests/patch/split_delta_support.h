// Split match deltas made by hand in tests: the filter byte, the flags, the six frame lengths and
// the frames, each stream compressed as it is (the extra one with the prefix given).
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "codec.h"

namespace qvpatch {

inline std::vector<std::uint8_t> HandMadeSplitDelta(std::uint8_t filter, std::uint8_t flags,
                                                    const std::vector<std::vector<std::uint8_t>>& streams,
                                                    const std::vector<std::uint8_t>& extraPrefix = {})
{
    std::vector<std::uint8_t> out = {filter, flags};
    std::vector<std::vector<std::uint8_t>> frames;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        std::vector<std::uint8_t> frame;
        const bool extra = i + 1 == streams.size();
        EXPECT_TRUE(EncodeZstd(streams[i].data(), streams[i].size(), extra ? extraPrefix.data() : nullptr,
                               extra ? extraPrefix.size() : 0, 1, &frame)
                        .ok());
        for (int k = 0; k < 8; ++k)
            out.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(frame.size()) >> (8 * k)));
        frames.push_back(std::move(frame));
    }
    for (const std::vector<std::uint8_t>& frame : frames)
        out.insert(out.end(), frame.begin(), frame.end());
    return out;
}

}  // namespace qvpatch
