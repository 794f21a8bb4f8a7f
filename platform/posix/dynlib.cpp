// Shared libraries on POSIX: dlopen and dlsym.
#include "dynlib.h"

#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

namespace {
thread_local char lastError[512];

void Remember() {
    const char *e = dlerror();
    std::snprintf(lastError, sizeof lastError, "%s", e ? e : "");
}
}  // namespace

DynLib *DynLoad(const char *path) {
    void *h = path ? dlopen(path, RTLD_NOW | RTLD_LOCAL) : nullptr;
    if (!h) Remember();
    return static_cast<DynLib *>(h);
}

void *DynSymbol(DynLib *lib, const char *name) {
    if (!lib || !name) return nullptr;
    dlerror();
    void *p = dlsym(lib, name);
    if (!p) Remember();
    return p;
}

void DynUnload(DynLib *lib) {
    if (lib) dlclose(lib);
}

void DynLastError(char *buffer, size_t size) {
    if (size) std::snprintf(buffer, size, "%s", lastError);
}

int DynProgramFolder(char *buffer, size_t size) {
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return 0;
    path[n] = '\0';
    char *slash = std::strrchr(path, '/');
    if (!slash) return 0;
    slash[1] = '\0';
    return static_cast<size_t>(slash + 1 - path) < size && std::snprintf(buffer, size, "%s", path) > 0;
}
