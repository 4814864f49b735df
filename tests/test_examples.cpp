// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include <recwav/wav.hpp>

#include "converter/recwav.hpp"
#include "test_files.hpp"

using namespace recwav;

namespace {
const char* const exampleNames[] = {"tune-alaw.rec", "tune-adpcm.rec"};
}

TEST(Examples, AreWhatTheGeneratorMakes) {
    TempDir dir;
    // A folder that does not exist yet: the generator makes it.
    const std::filesystem::path folder = dir / "new" / "examples";
    const std::string command = std::string(MAKE_EXAMPLES_EXE) + " '" + folder.string() + "'";
    ASSERT_EQ(std::system(command.c_str()), 0);
    for (const char* name : exampleNames) {
        const fixture::Bytes made = readFile(folder / name);
        ASSERT_FALSE(made.empty()) << name;
        EXPECT_EQ(readFile(std::filesystem::path(EXAMPLES_DIR) / name), made) << name;
    }
}

TEST(Examples, ConvertToTheDeclaredLength) {
    for (const char* name : exampleNames) {
        TempDir dir;
        const FilePtr input(std::fopen((std::filesystem::path(EXAMPLES_DIR) / name).c_str(), "rb"));
        ASSERT_TRUE(input) << name;
        SoundStream stream;
        const std::int32_t declared = parseRecordFile(input.get(), stream);
        ASSERT_GT(declared, 0) << name;

        std::string in = (std::filesystem::path(EXAMPLES_DIR) / name).string();
        std::string out = (dir / "out.wav").string();
        char program[] = "recwav";
        char* argv[] = {program, in.data(), out.data(), nullptr};
        ASSERT_EQ(runRecwav(3, argv), 0) << name;
        EXPECT_EQ(std::filesystem::file_size(dir / "out.wav"), 44 + 2 * static_cast<std::uintmax_t>(declared)) << name;
    }
}
