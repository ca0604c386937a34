// The code names of error numbers in the failure line.

#include "core/result_line.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

using namespace anchorfs;

namespace {

struct named_error {
    int error;
    const char* code;
};

TEST(ErrnoCode, ElevenNamedErrors_MapToTheirNames)
{
    const named_error table[] = {
        {EPERM, "EPERM"},   {ENOENT, "ENOENT"},   {E2BIG, "E2BIG"},   {EACCES, "EACCES"},
        {EEXIST, "EEXIST"}, {EXDEV, "EXDEV"},     {ENOTDIR, "ENOTDIR"}, {EISDIR, "EISDIR"},
        {EINVAL, "EINVAL"}, {ELOOP, "ELOOP"},     {ENOTEMPTY, "ENOTEMPTY"},
    };
    for (const named_error& entry : table)
        EXPECT_STREQ(errno_code(entry.error), entry.code) << "errno " << entry.error;
}

// ESTALE is reported by the front end under an identity code, never by name.
TEST(ErrnoCode, ZeroEstaleAndOtherErrors_MapToFilesystemError)
{
    const int others[] = {0, ESTALE, ENOMEM, ENAMETOOLONG, EIO, ENOSPC, EBUSY, ERANGE, EMLINK, -1, 100000};
    for (int error : others)
        EXPECT_STREQ(errno_code(error), "FILESYSTEM_ERROR") << "errno " << error;
}

} // namespace
