// The status server's writes that may block (whole files, standard output) behind a replaceable call table, so tests can make them hang or fail.
#pragma once

#include "files.h"

#include <cstddef>

// Every write the server's writer threads make goes through this table;
// tests swap entries and restore them afterwards.
struct FileCalls {
    // Replaces the file at path whole (WriteFileAtomic). 1 on success; on
    // failure *fault (when not null) says why.
    int (*writeAtomic)(const char *path, const void *data, size_t size, FileFault *fault);
    // Writes to standard output; bytes written, or -1 on an error. May block.
    long (*writeStdout)(const void *data, size_t size);
};
extern FileCalls fileCalls;
extern const FileCalls kDefaultFileCalls;

inline int FileWriteAtomic(const char *path, const void *data, size_t size, FileFault *fault = nullptr) {
    return fileCalls.writeAtomic(path, data, size, fault);
}
// Writes all of data to standard output, retrying short writes. 1 on success.
inline int FileWriteStdout(const void *data, size_t size) {
    const char *p = static_cast<const char *>(data);
    while (size > 0) {
        const long n = fileCalls.writeStdout(p, size);
        if (n <= 0) return 0;
        p += static_cast<size_t>(n);
        size -= static_cast<size_t>(n);
    }
    return 1;
}
