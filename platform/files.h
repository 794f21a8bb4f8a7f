// Files: a file's last-write instant and size, whole-file atomic replacement, and the local absolute path rule.
#pragma once

#include <cstddef>
#include <cstdint>

// Last-write instant (file-time ticks) and size of the file at path; 1 on success, 0 otherwise.
int FileAttributes(const char *path, uint64_t *lastWrite, uint64_t *size);

// Writes data to a new temporary file of unpredictable name, created
// exclusively in the folder of the final target, then renames it over that
// target, so a reader sees either the old file or the whole new one. A
// target that is a symbolic link is followed to its final path, so the link
// stays a link. A failed write removes its temporary file and leaves the old
// file as it was. 1 on success.
int WriteFileAtomic(const char *path, const void *data, size_t size);
// The same for a file only its owner may read (mode 0600 on POSIX; on
// Windows the user's own folders already keep it private).
int WritePrivateFileAtomic(const char *path, const void *data, size_t size);

// Whether path is absolute on a local file system: "/..." on POSIX, a drive
// letter, colon and separator on Windows (UNC and device paths are not).
bool IsLocalAbsolutePath(const char *path);
