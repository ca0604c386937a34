// The first entry of a listing, called in process on what tree removals meet
// rarely: names that only begin like "." and "..", a name too long for the
// caller's buffer, and a resumed listing whose successor went meanwhile.

#include "platform/directory_listing.hpp"
#include "platform/owners.hpp"
#include "support/harness.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

using namespace anchorfs;
using namespace anchorfs::test;

namespace {

struct listing_case {
    const char* name;
    std::vector<std::string> entries;
    std::size_t capacity;   // of the caller's name buffer
    bool successor_removed; // a first listing is made, then its successor removed and the listing resumed
    int result;
    int error; // of a result of -1
};

class FirstDirectoryEntry : public testing::TestWithParam<listing_case> {};

TEST_P(FirstDirectoryEntry, YieldsTheEntryOrRefuses)
{
    const listing_case& c = GetParam();
    temp_root root;
    for (const std::string& entry : c.entries)
        make_dir(root.at(entry));
    // Each listing on a fresh descriptor, as a tree removal makes them.
    auto fresh = [&root] { return unique_fd(::open(root.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)); };
    listing_resume resume;
    char name[256] = "";
    if (c.successor_removed) {
        // As a tree removal does: entries found are removed until one is
        // followed by another entry (not "." or ".."), which is removed instead.
        for (;;) {
            ASSERT_EQ(first_directory_entry(fresh().get(), resume, name, sizeof name), 1);
            const std::string successor = resume.successor;
            if (successor != "" && successor != "." && successor != "..")
                break;
            ASSERT_EQ(::rmdir(root.at(name).c_str()), 0);
        }
        ASSERT_EQ(::rmdir(root.at(resume.successor).c_str()), 0);
    }
    const std::string first = name;

    errno = 0;
    const int result = first_directory_entry(fresh().get(), resume, name, c.capacity);

    EXPECT_EQ(result, c.result);
    if (c.result == 1) {
        // The entry found first is there still and is found again.
        EXPECT_EQ(std::string(name), c.successor_removed ? first : c.entries[0]);
    } else {
        EXPECT_EQ(errno, c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Listings, FirstDirectoryEntry,
    testing::Values(listing_case{"DotAndAName", {".x"}, 256, false, 1, 0},
                    listing_case{"DotDotAndAName", {"..x"}, 256, false, 1, 0},
                    listing_case{"NameOf255Bytes", {std::string(255, 'n')}, 256, false, 1, 0},
                    listing_case{"NameLongerThanTheBuffer", {"abcd"}, 4, false, -1, ENAMETOOLONG},
                    listing_case{"SuccessorRemoved", {"a", "b", "c", "d", "e", "f", "g", "h"}, 256, true, 1, 0}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
