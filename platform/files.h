// Files: a file's last-write instant and size, and whole-file atomic replacement.
#pragma once

#include <cstddef>
#include <cstdint>

// Last-write instant (file-time ticks) and size of the file at path; 1 on success, 0 otherwise.
int FileAttributes(const char *path, uint64_t *lastWrite, uint64_t *size);

// Writes data to a temporary file beside path, then renames it over path,
// so a reader sees either the old file or the whole new one. 1 on success.
int WriteFileAtomic(const char *path, const void *data, size_t size);
