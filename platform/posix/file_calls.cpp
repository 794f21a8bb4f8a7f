// The file call table on POSIX: WriteFileAtomic and write(2) on standard output.
#include "file_calls.h"

#include "files.h"

#include <cerrno>
#include <unistd.h>

namespace {

long WriteStdout(const void *data, size_t size) {
    for (;;) {
        const ssize_t n = write(STDOUT_FILENO, data, size);
        if (n >= 0 || errno != EINTR) return static_cast<long>(n);
    }
}

}  // namespace

const FileCalls kDefaultFileCalls = {WriteFileAtomic, WriteStdout};
FileCalls fileCalls = kDefaultFileCalls;
