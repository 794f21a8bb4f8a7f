// The per-process limit on open descriptors, which caps how many connections a program can hold.
#pragma once

#include <cstdint>

// Raises the soft limit to the hard limit, as far as the system lets it;
// returns the limit now in force (1024 when it cannot be read).
uint64_t RaiseDescriptorLimit();
