// Windows' answers: names are UTF-8 inside tniff and UTF-16 for the system.
#include "cli/system.h"
#include "tarniff/tarniff.h"

#include <windows.h>

#include <cerrno>
#include <vector>

namespace tniff_cli {

namespace {

void SetErrno(DWORD code) {
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH: errno = ENOENT; break;
    case ERROR_ACCESS_DENIED: errno = EACCES; break;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS: errno = EEXIST; break;
    default: errno = EIO; break;
    }
}

}  // namespace

bool LookAt(const std::string& path, PathFacts* facts, bool identity) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    const std::wstring wide = tarniff::WideText(path);
    if (!GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
        SetErrno(GetLastError());
        return false;
    }
    facts->directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    // 100-nanosecond steps since 1601.
    const uint64_t ticks =
        (uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    facts->modifiedSeconds = static_cast<int64_t>(ticks / 10000000u);
    facts->modifiedNanoseconds = static_cast<int64_t>(ticks % 10000000u) * 100;
    facts->device = 0;
    facts->file = 0;
    if (identity) {
        HANDLE file = CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        BY_HANDLE_FILE_INFORMATION information;
        if (file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &information)) {
            facts->device = information.dwVolumeSerialNumber;
            facts->file = (uint64_t(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
        } else {
            // Unknown: told apart by name at least, so that no two files count as one.
            facts->device = ~uint64_t(0);
            facts->file = std::hash<std::string>()(path);
        }
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
    return true;
}

bool MakeFolder(const std::string& path) {
    if (CreateDirectoryW(tarniff::WideText(path).c_str(), nullptr)) return true;
    SetErrno(GetLastError());
    return false;
}

std::string RealPath(const std::string& path) {
    const std::wstring wide = tarniff::WideText(path);
    const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (size == 0) return path;
    std::vector<wchar_t> full(size);
    const DWORD length = GetFullPathNameW(wide.c_str(), size, full.data(), nullptr);
    if (length == 0 || length >= size) return path;
    return tarniff::CodePageText(std::wstring(full.data(), length));
}

int UsableCores() {
    DWORD_PTR process = 0, system = 0;
    int count = 0;
    if (GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
        for (; process != 0; process &= process - 1) ++count;
    }
    if (count > 0) return count;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors > 0 ? static_cast<int>(info.dwNumberOfProcessors) : 1;
}

std::vector<std::string> ProgramArguments(int, char**) {
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::string> arguments;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return arguments;
    for (int i = 1; i < count; ++i) arguments.push_back(tarniff::CodePageText(wide[i]));
    LocalFree(wide);
    return arguments;
}

int StandardInput() {
    // Handle values fit in 32 bits, so that they pass between 32- and 64-bit code.
    return static_cast<int>(reinterpret_cast<intptr_t>(GetStdHandle(STD_INPUT_HANDLE)));
}

int StderrColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
    return 0;
}

}  // namespace tniff_cli
