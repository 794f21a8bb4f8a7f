// Files: a file's last-write instant and size, whole-file atomic replacement, and the local absolute path rule.
#pragma once

#include <cstddef>
#include <cstdint>

// Last-write instant (file-time ticks) and size of the file at path; 1 on success, 0 otherwise.
int FileAttributes(const char *path, uint64_t *lastWrite, uint64_t *size);

// Why a whole-file replacement failed.
enum class FileFault {
    None,
    NoFolder,     // the folder (or a part of it) does not exist
    IsFolder,     // the path names a folder
    ForeignLink,  // a link on the way belongs to neither this user nor the administrator
    LinkLoop,     // links lead round in a loop, or too far
    Denied,       // no permission
    ReadOnly,     // a read-only file system
    NoSpace,      // the disk or the quota is full
    Other,
};

// The reason in words, to follow "cannot write PATH: ".
constexpr const char *FileFaultText(FileFault fault) {
    switch (fault) {
    case FileFault::None: return "no fault";
    case FileFault::NoFolder: return "the folder does not exist";
    case FileFault::IsFolder: return "it is a folder";
    case FileFault::ForeignLink: return "it is a link that belongs to another user";
    case FileFault::LinkLoop: return "its links lead round in a loop";
    case FileFault::Denied: return "permission denied";
    case FileFault::ReadOnly: return "the folder is read-only";
    case FileFault::NoSpace: return "the disk is full";
    case FileFault::Other: break;
    }
    return "the file cannot be written";
}

// Writes data to a new temporary file of unpredictable name, created
// exclusively in the folder of the final target, then renames it over that
// target, so a reader sees either the old file or the whole new one. A
// target that is a symbolic link is followed to its final path, so the link
// stays a link; on POSIX only links that belong to this user or to root are
// followed (anyone else's is refused: ForeignLink), wherever they are. The
// new file keeps the mode of the file it replaces (and its group where
// allowed); a file that did not exist gets 0644, whatever the umask. A failed
// write removes its temporary file and leaves the old file as it was. 1 on
// success; on failure *fault (when given) says why.
int WriteFileAtomic(const char *path, const void *data, size_t size, FileFault *fault = nullptr);
// The same for a file only its owner may read: always mode 0600 on POSIX (on
// Windows the user's own folders already keep it private).
int WritePrivateFileAtomic(const char *path, const void *data, size_t size, FileFault *fault = nullptr);

// Whether path is absolute on a local file system: "/..." on POSIX, a drive
// letter, colon and separator on Windows (UNC and device paths are not).
bool IsLocalAbsolutePath(const char *path);
