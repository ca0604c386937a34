// Which file systems' listing positions a tree removal may resume from, by
// file system and kernel release.

#include "platform/listing_positions.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using namespace anchorfs;

namespace {

struct positions_case {
    const char* name;
    std::int64_t fs_magic;
    const char* release;
    bool stable;
};

class ListingPositionsStable : public testing::TestWithParam<positions_case> {};

TEST_P(ListingPositionsStable, TrustedOnlyWhereCreationsLeaveThemInPlace)
{
    const positions_case& c = GetParam();
    EXPECT_EQ(listing_positions_stable(c.fs_magic, c.release), c.stable);
}

constexpr std::int64_t ext4 = 0xEF53;
constexpr std::int64_t xfs = 0x58465342;
constexpr std::int64_t btrfs = 0x9123683E;
constexpr std::int64_t tmpfs = 0x01021994;
constexpr std::int64_t nfs = 0x6969;
constexpr std::int64_t overlayfs = 0x794C7630;

INSTANTIATE_TEST_SUITE_P(
    Table, ListingPositionsStable,
    testing::Values(positions_case{"Ext4OnDebian12", ext4, "6.1.0-18-amd64", true},
                    positions_case{"Ext4OnAnOldKernel", ext4, "4.19.0-27-amd64", true},
                    positions_case{"Ext4WithAnUnreadableRelease", ext4, "", true},
                    positions_case{"XfsOnDebian12", xfs, "6.1.0-18-amd64", true},
                    positions_case{"BtrfsOnDebian12", btrfs, "6.1.0-18-amd64", true},
                    positions_case{"TmpfsOnDebian12", tmpfs, "6.1.0-18-amd64", false},
                    positions_case{"TmpfsJustBeforeOffsets", tmpfs, "6.5.13", false},
                    positions_case{"TmpfsWithOffsets", tmpfs, "6.6.0", true},
                    positions_case{"TmpfsOnDebian13", tmpfs, "6.12.38+deb13-amd64", true},
                    positions_case{"TmpfsOnASeventhMajor", tmpfs, "7.0.1", true},
                    positions_case{"TmpfsOnMinorSixtySix", tmpfs, "5.66", false},
                    positions_case{"TmpfsWithOnlyAMajor", tmpfs, "6", false},
                    positions_case{"TmpfsWithAnEmptyRelease", tmpfs, "", false},
                    positions_case{"TmpfsWithGarbage", tmpfs, "x.y", false},
                    positions_case{"Nfs", nfs, "6.12.0", false},
                    positions_case{"Overlayfs", overlayfs, "6.12.0", false},
                    positions_case{"UnknownMagic", 0, "6.12.0", false}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
