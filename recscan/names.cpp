// SPDX-License-Identifier: MIT
// Output names: where each WAV goes below the output folder, and never above it.
#include <algorithm>
#include <cctype>

#include "recscan/recscan.hpp"

namespace recwav::scan {

namespace {

std::string lowerAscii(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) {
        return c < 0x80 ? static_cast<char>(std::tolower(c)) : static_cast<char>(c);
    });
    return text;
}

}  // namespace

std::vector<std::string> safeEntryPath(std::string_view name) {
    // A drive letter ("C:" or "C:\") names another root.
    if (name.size() >= 2 && name[1] == ':' && std::isalpha(static_cast<unsigned char>(name[0])) != 0) {
        name.remove_prefix(2);
    }
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t end = std::min(name.find_first_of("/\\", start), name.size());
        const std::string_view part = name.substr(start, end - start);
        // ".." is dropped, not followed: "a/../b" stays below the archive's folder as "a/b".
        if (!part.empty() && part != "." && part != "..") {
            parts.emplace_back(part);
        }
        start = end + 1;
    }
    return parts;
}

std::string wavName(std::string_view sourceName) {
    constexpr std::string_view extension = ".rec";
    if (sourceName.size() > extension.size() &&
        lowerAscii(std::string(sourceName.substr(sourceName.size() - extension.size()))) == extension) {
        sourceName.remove_suffix(extension.size());
    }
    return std::string(sourceName) + ".wav";
}

namespace {

// `name` with "~n" before its extension.
std::string numbered(const std::string& name, unsigned n) {
    const std::size_t dot = name.rfind('.');
    const std::string stem = dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
    return stem + '~' + std::to_string(n) + name.substr(stem.size());
}

}  // namespace

std::string Namer::assign(const std::vector<std::string>& folders, const std::string& name) {
    std::string base;
    for (const std::string& folder : folders) {
        base += lowerAscii(folder) + '/';
    }
    std::string chosen = name;
    for (unsigned n = 2; !taken_.insert(base + lowerAscii(chosen)).second; ++n) {
        chosen = numbered(name, n);
    }
    return chosen;
}

std::vector<std::string> Namer::placeFolders(const std::vector<std::string>& folders) {
    std::vector<std::string> placed;
    std::string source;  // the source's folders so far
    for (const std::string& folder : folders) {
        source += lowerAscii(folder) + '/';
        auto known = placed_.find(source);
        if (known == placed_.end()) {
            known = placed_.emplace(source, assign(placed, folder)).first;
        }
        placed.push_back(known->second);
    }
    return placed;
}

}  // namespace recwav::scan
