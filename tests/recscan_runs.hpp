// SPDX-License-Identifier: MIT
// The recscan tests' runs of the built programs: recscan with its
// arguments, and what recwav itself writes for a Record file's bytes.
#pragma once

#include <string>
#include <vector>

#include "test_files.hpp"

inline ProgramRun recscan(const TempDir& dir, std::vector<std::string> args) {
    args.insert(args.begin(), RECSCAN_EXE);
    return runCommand(dir, RECSCAN_EXE, args);
}

inline fixture::Bytes recwavOutput(const fixture::Bytes& record) {
    const TempDir dir;
    writeFile(dir / "in", record);
    EXPECT_EQ(runCommand(dir, RECWAV_EXE, {RECWAV_EXE, "in", "out.wav"}).status, 0);
    return readFile(dir / "out.wav");
}
