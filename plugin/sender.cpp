// The status sender: a thread that keeps one connection to the status server and sends the latest 750-byte message.
#include "plugin.h"

#include <cstring>

namespace {

// Drops the connection; a close notice left by it must not hit the next one.
void CloseConnection() {
    NetClose(g_status.socket);
    g_status.socket = kNoNetSocket;
    CloseWatchReset(g_run.closeEvent);
}

}  // namespace

int ConnectToServer() {
    StatusRecord &r = g_status;
    if (r.socket != kNoNetSocket) return 1;
    NetSocket s = NetOpenTcp();
    if (s == kNoNetSocket) return 0;
    r.socket = s;
    // A copy taken under the name lock: the panel may change the name meanwhile.
    char name[kTextSize + 1];
    CopyServerName(name);
    uint32_t address = 0;
    if (!NetResolveIPv4(name, &address) || !NetConnect(s, address, g_run.port, kConnectTimeoutMs) ||
        !CloseWatchAttach(g_run.closeEvent, s)) {
        CloseConnection();
        return 0;
    }
    return 1;
}

uint32_t SenderThread(void *) {
    StatusRecord &r = g_status;
    uint8_t message[kSendBufferSize];
    uint32_t length = g_activation.messageLength ? g_activation.messageLength : kMessageLength;
    if (length > kSendBufferSize) length = kSendBufferSize;
    ThreadEvent *const events[2] = {g_run.dataReady, g_run.stopEvent};
    for (;;) {
        const int woke = EventWaitAny(events, 2, g_run.quietMs);
        if (woke == 1) return 0;
        if (woke == kWaitTimeout) {
            if (r.socket != kNoNetSocket) {
                if (!CloseWatchClosed(g_run.closeEvent, r.socket)) continue;
                CloseConnection();
            }
        } else if (woke != 0) {
            continue;
        }
        LockEnter(&g_run.statusLock);
        std::memcpy(message, g_run.sendBuffer, length);
        EventReset(g_run.dataReady);
        LockLeave(&g_run.statusLock);
        if (!ConnectToServer()) continue;
        // A short write would leave the server's stream misaligned: treat it as an error.
        if (NetSend(r.socket, message, length) != static_cast<long>(length)) CloseConnection();
    }
}
