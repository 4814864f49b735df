// SPDX-License-Identifier: MIT
// The one safe output: a new file takes its name only when committed, over
// an existing file only when asked to, and leaves nothing when discarded.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include <recwav/platform.hpp>

#include "test_files.hpp"

namespace {

using recwav::CommitResult;
using recwav::SafeOutput;

std::size_t entriesIn(const std::filesystem::path& folder) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder)) {
        ++count;
    }
    return count;
}

TEST(SafeOutput, NamesTheFileOnlyWhenCommittedAndReplacesOnlyWhenAsked) {
    const struct {
        bool unnamed;
        bool existing;
        bool replace;
        bool commit;
        CommitResult result;
        const char* contents;  // of "out" at the end; nullptr: none
    } cases[] = {
        {true, false, false, true, CommitResult::committed, "new"},
        {false, false, false, true, CommitResult::committed, "new"},
        {true, true, false, true, CommitResult::exists, "old"},
        {false, true, false, true, CommitResult::exists, "old"},
        {true, true, true, true, CommitResult::committed, "new"},
        {false, true, true, true, CommitResult::committed, "new"},
        {true, true, true, false, CommitResult::failed, "old"},
        {false, false, true, false, CommitResult::failed, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.unnamed ? "unnamed" : "named") + (c.existing ? ", existing" : "") +
                     (c.replace ? ", replace" : "") + (c.commit ? ", commit" : ", discard"));
        const TempDir dir;
        if (c.existing) {
            writeFile(dir / "out", {'o', 'l', 'd'});
        }
        const int folder = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(folder, 0);
        SafeOutput output;
        ASSERT_TRUE(recwav::createSafeOutput(output, folder, "out", {"test", 0640, c.unnamed}));
        ASSERT_EQ(write(output.fd, "new", 3), 3);
        struct stat info {};
        ASSERT_EQ(fstat(output.fd, &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0640U);  // exactly, whatever the umask
        if (c.commit) {
            EXPECT_EQ(recwav::commitSafeOutput(output, c.replace), c.result);
        } else {
            recwav::discardSafeOutput(output);
        }
        close(folder);
        EXPECT_EQ(output.fd, -1);
        EXPECT_EQ(entriesIn(dir.path()), c.contents != nullptr ? 1U : 0U);  // no temporary file left
        if (c.contents != nullptr) {
            const fixture::Bytes bytes = readFile(dir / "out");
            EXPECT_EQ(std::string(bytes.begin(), bytes.end()), c.contents);
        }
    }
}

}  // namespace
