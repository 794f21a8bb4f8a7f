// The descriptor limit on Windows: Winsock sockets have no per-process limit to raise.
#include "descriptor_limit.h"

uint64_t RaiseDescriptorLimit() { return UINT32_MAX; }
