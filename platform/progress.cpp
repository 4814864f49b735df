// SPDX-License-Identifier: MIT
#include <recwav/progress.hpp>

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>

namespace recwav {

namespace {

// The terminal's width in columns, or 0 when it is not known.
std::size_t columnsOf(std::FILE* sink) {
    winsize size{};
    return ioctl(fileno(sink), TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

// What fits in `columns - 1` columns (the last one would wrap on some
// terminals), counting a UTF-8 sequence as one column.
std::string fitted(const std::string& text, std::size_t columns) {
    std::string shown;
    std::size_t used = 0;
    for (const char c : text) {
        const bool continuation = (static_cast<unsigned char>(c) & 0xC0) == 0x80;
        if (!continuation && columns > 0 && ++used >= columns) {
            break;
        }
        shown += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? '?' : c;
    }
    return shown;
}

}  // namespace

std::int64_t progressClock() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

ProgressLine startProgress() {
    ProgressLine line;
    line.sink = isatty(STDERR_FILENO) != 0 ? stderr : nullptr;
    line.started = progressClock();
    return line;
}

void updateProgress(ProgressLine& line, const std::string& text, std::int64_t now) {
    if (line.sink == nullptr || now - line.started < progressDelay ||
        (line.shown && now - line.drawn < progressInterval)) {
        return;
    }
    std::fprintf(line.sink, "\r\033[K%s", fitted(text, columnsOf(line.sink)).c_str());
    std::fflush(line.sink);
    line.shown = true;
    line.drawn = now;
}

void clearProgress(ProgressLine& line) {
    if (line.shown) {
        std::fputs("\r\033[K", line.sink);
        std::fflush(line.sink);
        line.shown = false;
    }
}

}  // namespace recwav
