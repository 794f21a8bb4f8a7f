// The data folder on Windows: %LOCALAPPDATA%, paths converted between UTF-8 and UTF-16.
#include "data_folder.h"

#include "product_folder.h"

#include <windows.h>

#include <string>

namespace {

std::wstring Wide(const std::string &utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, out.data(), n);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

std::string Utf8(const std::wstring &wide) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<size_t>(n - 1));
    return out;
}

bool IsFolder(const std::wstring &path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

std::string HistoryDatabasePath() {
    wchar_t buffer[MAX_PATH];
    const DWORD n = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::string();
    return Utf8(std::wstring(buffer, n)) + '\\' + ProductFolder('\\') + "\\history.sqlite3";
}

int MakeParentFolders(const std::string &path) {
    const std::wstring wide = Wide(path);
    const size_t end = wide.find_last_of(L"\\/");
    if (end == std::wstring::npos) return 1;
    const std::wstring folder = wide.substr(0, end);
    // Each part in turn, past the drive ("C:") or share prefix that already exists.
    for (size_t sep = folder.find_first_of(L"\\/", 3);; sep = folder.find_first_of(L"\\/", sep + 1)) {
        const std::wstring part = folder.substr(0, sep);
        if (!IsFolder(part)) CreateDirectoryW(part.c_str(), nullptr);
        if (sep == std::wstring::npos) break;
    }
    return IsFolder(folder) ? 1 : 0;
}

int MoveFileAside(const std::string &from, const std::string &to) {
    return MoveFileExW(Wide(from).c_str(), Wide(to).c_str(), 0) ? 1 : 0;
}

int KeepFilePrivate(const std::string &, bool) { return 1; }

bool PathExists(const std::string &path) { return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }
