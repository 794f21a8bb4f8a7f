// Loading a shared library and finding its exported symbols, as a host application does.
#pragma once

#include <cstddef>

struct DynLib;

// Null on failure; DynLastError then describes why.
DynLib *DynLoad(const char *path);
void *DynSymbol(DynLib *lib, const char *name);
void DynUnload(DynLib *lib);
// The platform's text for the last failed load or lookup, cut to fit buffer.
void DynLastError(char *buffer, size_t size);

// The folder of the running program, with a trailing separator, where a host
// finds the plug-ins installed beside it. 1 on success.
int DynProgramFolder(char *buffer, size_t size);
