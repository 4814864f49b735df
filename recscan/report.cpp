// SPDX-License-Identifier: MIT
// The report's lines, as text and as JSON.
#include <cctype>
#include <cstdio>

#include "recscan/recscan.hpp"

namespace recwav::scan {

namespace {

constexpr const char* outcomeNames[] = {"converted", "refused", "failed", "done", "skipped"};

// A name may hold any byte but '/' and NUL: a newline or an escape sequence
// in one must not forge a line of the report or move the terminal's cursor.
std::string printable(const std::string& text) {
    std::string shown = text;
    for (char& c : shown) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    return shown;
}

// The length of the valid UTF-8 sequence at `at`, or 0.
std::size_t utf8Length(const std::string& text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    const std::size_t length = lead < 0x80                   ? 1
                               : lead >= 0xC2 && lead < 0xE0 ? 2
                               : lead >= 0xE0 && lead < 0xF0 ? 3
                               : lead >= 0xF0 && lead < 0xF5 ? 4
                                                             : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
    }
    // Overlong forms, surrogates and values past U+10FFFF.
    const unsigned char second = length > 1 ? byte(at + 1) : 0;
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second >= 0xA0) || (lead == 0xF0 && second < 0x90) ||
        (lead == 0xF4 && second >= 0x90)) {
        return 0;
    }
    return length;
}

// A JSON string; bytes that are not UTF-8 become U+FFFD, so the line stays valid JSON.
std::string quoted(const std::string& text) {
    std::string json = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const char c = text[at];
        const std::size_t length = utf8Length(text, at);
        if (length == 0) {
            json += "\xEF\xBF\xBD";
            ++at;
            continue;
        }
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(c));
            json += escape;
        } else {
            json.append(text, at, length);
        }
        at += length;
    }
    return json + '"';
}

std::string number(const std::optional<std::uint64_t>& value) {
    return value ? std::to_string(*value) : "null";
}

bool namedLikeARecording(const std::string& name) {
    if (name.size() < 4) {
        return false;
    }
    std::string extension = name.substr(name.size() - 4);
    for (char& c : extension) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return extension == ".rec" || extension == ".wve";
}

}  // namespace

std::string textLine(const Result& result) {
    const std::string source = printable(result.source);
    switch (result.outcome) {
        case Outcome::converted:
            return "converted " + source + " -> " + printable(result.output) + " (" + printable(result.message) + ")";
        case Outcome::done:
            return "done " + source + " -> " + printable(result.output) + " (" + printable(result.message) + ")";
        case Outcome::refused:
            return "refused " + source + ": " + printable(result.message);
        case Outcome::failed:
            return "failed " + source + ": " + printable(result.message);
        case Outcome::skipped:
            // A file named like a recording that is none is news to whoever
            // looks for one; the other skipped files only count.
            if (namedLikeARecording(result.source)) {
                return "skipped " + source + ": " + printable(result.message);
            }
            break;
    }
    return "";
}

std::string jsonLine(const Result& result) {
    constexpr const char* codingNames[] = {"null", "\"alaw\"", "\"adpcm\"", "\"series3-alaw\""};
    // The WAV, whether this run wrote it or an earlier one did.
    const bool written = result.outcome == Outcome::converted || result.outcome == Outcome::done;
    return "{\"source\":" + quoted(result.source) + ",\"output\":" + (written ? quoted(result.output) : "null") +
           ",\"outcome\":\"" + outcomeNames[static_cast<int>(result.outcome)] +
           "\",\"message\":" + quoted(result.message) + ",\"coding\":" + codingNames[static_cast<int>(result.coding)] +
           ",\"declared\":" + number(result.declared) + ",\"decoded\":" + number(result.decoded) +
           (result.deleted ? ",\"deleted\":true}" : "}");
}

std::string summaryLine(const std::array<std::uint64_t, 5>& counts) {
    const auto count = [&counts](Outcome outcome) { return std::to_string(counts[static_cast<int>(outcome)]); };
    const std::uint64_t skipped = counts[static_cast<int>(Outcome::skipped)];
    return count(Outcome::converted) + " converted, " + count(Outcome::done) + " done before, " +
           count(Outcome::refused) + " refused, " + count(Outcome::failed) + " failed, " + std::to_string(skipped) +
           (skipped == 1 ? " other file skipped" : " other files skipped");
}

}  // namespace recwav::scan
