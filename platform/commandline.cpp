// SPDX-License-Identifier: MIT
#include <recwav/platform.hpp>

#include <cstring>

namespace recwav {

std::string optionError(const char* word, const option* longOptions, const char* shortWithValues) {
    const std::string text = word;
    if (optopt == 0 || text.rfind("--", 0) != 0) {
        if (optopt != 0 && std::strchr(shortWithValues, optopt) != nullptr) {
            return std::string("option '-") + static_cast<char>(optopt) + "' needs a value";
        }
        return optopt == 0 ? "unknown option '" + text + "'"
                           : std::string("unknown option '-") + static_cast<char>(optopt) + "'";
    }
    std::string name = text.substr(0, text.find('='));
    for (const option* known = longOptions; known->name != nullptr; ++known) {
        if (known->val == optopt) {
            name = std::string("--") + known->name;
        }
    }
    return "option '" + name + (text.find('=') != std::string::npos ? "' takes no value" : "' needs a value");
}

}  // namespace recwav
