// Close watch on Windows: WSAEventSelect for FD_CLOSE on a WSA event, checked with a zero time-out.
#include "net_watch.h"

#include <winsock2.h>

struct CloseWatch;

namespace {
WSAEVENT Event(CloseWatch *watch) { return reinterpret_cast<WSAEVENT>(watch); }
}  // namespace

CloseWatch *CloseWatchCreate() {
    WSAEVENT e = WSACreateEvent();
    return e == WSA_INVALID_EVENT ? nullptr : reinterpret_cast<CloseWatch *>(e);
}

void CloseWatchDestroy(CloseWatch *watch) {
    if (watch) WSACloseEvent(Event(watch));
}

int CloseWatchAttach(CloseWatch *watch, NetSocket s) {
    if (!watch || s == kNoNetSocket) return 0;
    return WSAEventSelect(static_cast<SOCKET>(s), Event(watch), FD_CLOSE) == 0;
}

int CloseWatchClosed(CloseWatch *watch, NetSocket) {
    if (!watch) return 1;
    WSAEVENT e = Event(watch);
    return WSAWaitForMultipleEvents(1, &e, FALSE, 0, FALSE) == WSA_WAIT_TIMEOUT ? 0 : 1;
}

void CloseWatchReset(CloseWatch *watch) {
    if (watch) WSAResetEvent(Event(watch));
}
