// Noticing that the peer closed a connection without reading from it: an FD_CLOSE event object on Windows, poll() on POSIX.
#pragma once

#include "net.h"

struct CloseWatch;

CloseWatch *CloseWatchCreate();  // null on failure
void CloseWatchDestroy(CloseWatch *watch);

// Registers s for the close notification and nothing else. Also puts s into
// non-blocking mode, so a send that cannot be buffered at once fails. 1 on success.
int CloseWatchAttach(CloseWatch *watch, NetSocket s);

// Never waits: 0 while s is open, 1 when the peer has closed it or the check failed.
int CloseWatchClosed(CloseWatch *watch, NetSocket s);

// Clears a close notification that has been seen.
void CloseWatchReset(CloseWatch *watch);
