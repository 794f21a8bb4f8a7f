// The descriptor limit on POSIX: RLIMIT_NOFILE, a farm needing one descriptor per CPU.
#include "descriptor_limit.h"

#include <sys/resource.h>

uint64_t RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    return limit.rlim_cur == RLIM_INFINITY ? UINT32_MAX : static_cast<uint64_t>(limit.rlim_cur);
}
