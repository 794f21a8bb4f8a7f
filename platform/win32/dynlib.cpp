// Shared libraries on Windows: LoadLibraryA and GetProcAddress.
#include "dynlib.h"

#include <windows.h>

#include <cstdio>

namespace {
thread_local DWORD lastError;
}  // namespace

DynLib *DynLoad(const char *path) {
    HMODULE h = path ? LoadLibraryA(path) : nullptr;
    if (!h) lastError = GetLastError();
    return reinterpret_cast<DynLib *>(h);
}

void *DynSymbol(DynLib *lib, const char *name) {
    if (!lib || !name) return nullptr;
    FARPROC p = GetProcAddress(reinterpret_cast<HMODULE>(lib), name);
    if (!p) lastError = GetLastError();
    return reinterpret_cast<void *>(p);
}

void DynUnload(DynLib *lib) {
    if (lib) FreeLibrary(reinterpret_cast<HMODULE>(lib));
}

void DynLastError(char *buffer, size_t size) {
    if (!size) return;
    char text[256] = "";
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, lastError, 0, text,
                             sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) text[--n] = '\0';
    std::snprintf(buffer, size, "error %lu%s%s", static_cast<unsigned long>(lastError), n ? ": " : "", text);
}

int DynProgramFolder(char *buffer, size_t size) {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return 0;
    char *cut = nullptr;
    for (char *p = path; *p; ++p)
        if (*p == '\\' || *p == '/') cut = p;
    if (!cut) return 0;
    cut[1] = '\0';
    return static_cast<size_t>(cut + 1 - path) < size && std::snprintf(buffer, size, "%s", path) > 0;
}
