// SPDX-License-Identifier: MIT
#include "converter/converter.hpp"

#if defined(_WIN32)
#include <string>
#include <vector>

#include <recwav/files.hpp>

// Windows passes the arguments as UTF-16; the char* arguments of main would be
// in the system's code page, which cannot name every file. The converter takes
// them as UTF-8 and its files are opened with the wide functions.
int wmain(int argc, wchar_t* argv[]) {
    std::vector<std::string> arguments;
    arguments.reserve(static_cast<std::size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        arguments.push_back(recwav::utf8FromWide(argv[i]));
    }
    std::vector<char*> pointers;
    pointers.reserve(arguments.size() + 1);
    for (std::string& argument : arguments) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    return recwav::runRecwav(argc, pointers.data());
}
#else
int main(int argc, char* argv[]) {
    return recwav::runRecwav(argc, argv);
}
#endif
