// SPDX-License-Identifier: MIT
#include "converter/recwav.hpp"

#if defined(_WIN32)
#include <cstdio>
#include <string>
#include <vector>

#include <windows.h>

#include <recwav/platform.hpp>

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
    // The messages name files in UTF-8: a console shows them so only while its
    // code page is UTF-8, and gets its own back afterwards. Pipes and files get
    // the UTF-8 bytes as they are.
    const UINT consolePage = GetConsoleOutputCP();  // 0 without a console
    if (consolePage != 0) {
        SetConsoleOutputCP(CP_UTF8);
    }
    const int status = recwav::runRecwav(argc, pointers.data());
    if (consolePage != 0) {
        std::fflush(stdout);
        SetConsoleOutputCP(consolePage);
    }
    return status;
}
#else
int main(int argc, char* argv[]) {
    return recwav::runRecwav(argc, argv);
}
#endif
