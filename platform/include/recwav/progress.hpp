// SPDX-License-Identifier: MIT
// The progress line that wavrec and recscan draw on standard error while it
// is a terminal (POSIX systems only): only for work that has run over a
// second, redrawn at most five times a second, cleared before any other
// message and at the end, and never drawn into a pipe or a file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace recwav {

inline constexpr std::int64_t progressDelay = 1000;    // milliseconds before the first drawing
inline constexpr std::int64_t progressInterval = 200;  // milliseconds between drawings

struct ProgressLine {
    std::FILE* sink = nullptr;  // null: never drawn
    std::int64_t started = 0;   // milliseconds on progressClock()
    std::int64_t drawn = 0;     // when last drawn
    bool shown = false;         // on the terminal now
};

// Milliseconds on a clock that only goes forward.
std::int64_t progressClock();

// A line on standard error, started now; one that is never drawn when
// standard error is not a terminal.
ProgressLine startProgress();

// Draws `text` in place of what the line showed, when the work has run over a
// second and the line was not drawn in the last 200 ms. Control characters
// become '?', and the text is cut to the terminal's width, so that the line
// stays one line that the next drawing replaces.
void updateProgress(ProgressLine& line, const std::string& text, std::int64_t now = progressClock());

// Takes the line off the terminal, when it is shown, before another message
// or at the end.
void clearProgress(ProgressLine& line);

}  // namespace recwav
