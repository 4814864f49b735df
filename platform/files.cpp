// SPDX-License-Identifier: MIT
#include <recwav/platform.hpp>

#if defined(_WIN32)
#include <windows.h>

namespace recwav {

namespace {

// Empty when `utf8` is not valid UTF-8: no file has an empty name.
std::wstring wideFromUtf8(const char* utf8) {
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, nullptr, 0);
    if (length <= 0) {
        return {};
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8, -1, wide.data(), length);
    wide.resize(static_cast<std::size_t>(length) - 1);  // the terminator the count included
    return wide;
}

// Opened for no access at all, which also opens directories and files that
// others hold open.
bool fileIdentity(const char* path, BY_HANDLE_FILE_INFORMATION& info) {
    const HANDLE file =
        CreateFileW(wideFromUtf8(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool known = GetFileInformationByHandle(file, &info) != 0;
    CloseHandle(file);
    return known;
}

}  // namespace

std::string utf8FromWide(const wchar_t* wide) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) {
        return {};
    }
    std::string utf8(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide, -1, utf8.data(), length, nullptr, nullptr);
    utf8.resize(static_cast<std::size_t>(length) - 1);
    return utf8;
}

std::FILE* openFile(const char* path, const char* mode) {
    return _wfopen(wideFromUtf8(path).c_str(), wideFromUtf8(mode).c_str());
}

bool isDirectory(const char* path) {
    const DWORD attributes = GetFileAttributesW(wideFromUtf8(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool sameFile(const char* first, const char* second) {
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    return fileIdentity(first, a) && fileIdentity(second, b) && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

}  // namespace recwav

#else
#include <sys/stat.h>

namespace recwav {

std::FILE* openFile(const char* path, const char* mode) {
    return std::fopen(path, mode);
}

bool isDirectory(const char* path) {
    struct stat info {};
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

bool sameFile(const char* first, const char* second) {
    struct stat a {};
    struct stat b {};
    return stat(first, &a) == 0 && stat(second, &b) == 0 && a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace recwav

#endif
