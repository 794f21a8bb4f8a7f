// Random bytes from the operating system's secure source (tokens, unpredictable file names).
#pragma once

#include <cstddef>

// Fills size bytes of buffer; 1 on success, 0 when the source failed.
int RandomBytes(void *buffer, size_t size);
