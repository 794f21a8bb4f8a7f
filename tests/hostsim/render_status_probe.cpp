// A small Win32 driver for end-to-end runs: waits for the "Render Status" window, prints its nine value fields, or closes it.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

HWND FindStatusWindow() { return FindWindowA(nullptr, "Render Status"); }

// Polls for the window's presence (want true) or absence until seconds pass.
bool WaitWindow(bool want, int seconds) {
    for (int i = 0; i < seconds * 20; ++i) {
        if ((FindStatusWindow() != nullptr) == want) return true;
        Sleep(50);
    }
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    const char *command = argc > 1 ? argv[1] : "";
    const int seconds = argc > 2 ? std::atoi(argv[2]) : 30;
    if (std::strcmp(command, "wait") == 0) return WaitWindow(true, seconds) ? 0 : 1;
    if (std::strcmp(command, "fields") == 0) {
        HWND w = FindStatusWindow();
        if (!w) return 1;
        for (int id = 1000; id <= 1008; ++id) {
            char text[260] = "";
            GetDlgItemTextA(w, id, text, sizeof text);
            std::printf("%d=%s\n", id, text);
        }
        return 0;
    }
    if (std::strcmp(command, "close") == 0) {
        HWND w = FindStatusWindow();
        if (!w) return 1;
        PostMessageA(w, WM_CLOSE, 0, 0);
        return WaitWindow(false, seconds) ? 0 : 1;
    }
    std::fprintf(stderr, "usage: render_status_probe wait|fields|close [seconds]\n");
    return 2;
}
