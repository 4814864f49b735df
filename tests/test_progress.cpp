// SPDX-License-Identifier: MIT
// The progress line: drawn only once the work has run a second, at most
// five times a second, one line whatever its text, and cleared at the end.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <recwav/progress.hpp>

using namespace recwav;

TEST(ProgressLine, DrawsLateAndSeldomAndClearsWhatItDrew) {
    const std::string erase = "\r\033[K";
    const struct {
        const char* name;
        bool terminal;
        std::vector<std::int64_t> updates;  // milliseconds after the start
        std::vector<std::int64_t> drawn;    // which of them are drawn
    } cases[] = {
        {"short work", true, {0, 10, 500, 999}, {}},
        {"long work", true, {0, 999, 1000, 1100, 1199, 1200, 1500, 1650, 5000}, {1000, 1200, 1500, 5000}},
        {"not a terminal", false, {0, 1000, 2000, 3000}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        char* buffer = nullptr;
        std::size_t size = 0;
        std::FILE* sink = open_memstream(&buffer, &size);
        ASSERT_NE(sink, nullptr);
        ProgressLine line;
        line.sink = c.terminal ? sink : nullptr;
        line.started = 100000;
        std::string expected;
        for (const std::int64_t at : c.updates) {
            // A name with a newline and an escape in it stays on the line.
            const std::string text = "a\nb\033" + std::to_string(at);
            updateProgress(line, text, line.started + at);
            if (std::find(c.drawn.begin(), c.drawn.end(), at) != c.drawn.end()) {
                expected += erase + "a?b?" + std::to_string(at);
            }
        }
        clearProgress(line);
        clearProgress(line);  // a second time: nothing is shown
        expected += c.drawn.empty() ? "" : erase;
        std::fclose(sink);
        EXPECT_EQ(std::string(buffer, size), expected);
        std::free(buffer);
    }
}
