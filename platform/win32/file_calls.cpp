// The file call table on Windows: WriteFileAtomic and WriteFile on the standard output handle.
#include "file_calls.h"

#include "files.h"

#include <windows.h>

namespace {

long WriteStdout(const void *data, size_t size) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE) return -1;
    DWORD written = 0;
    const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    if (!WriteFile(out, data, chunk, &written, nullptr)) return -1;
    return static_cast<long>(written);
}

}  // namespace

const FileCalls kDefaultFileCalls = {WriteFileAtomic, WriteStdout};
FileCalls fileCalls = kDefaultFileCalls;
