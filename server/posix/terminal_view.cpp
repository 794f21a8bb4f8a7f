// Draws the nine status fields on the terminal, in place, or as plain text when asked.
#include "terminal_view.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

constexpr int kLabelWidth = 18;
constexpr int kBlockLines = 1 + kFieldCount;

void Put(const std::string &text) {
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

}  // namespace

std::string TerminalViewText(const StatusFields &fields, bool redraw) {
    std::string out;
    if (redraw) out += "\x1b[" + std::to_string(kBlockLines) + "A";
    const char *clear = redraw ? "\r\x1b[2K" : "";
    out += clear;
    out += "Render Status\n";
    for (int i = 0; i < kFieldCount; ++i) {
        out += clear;
        const char *label = kFieldLabels[static_cast<size_t>(i)];
        out += label;
        out.append(static_cast<size_t>(kLabelWidth - static_cast<int>(std::strlen(label))), ' ');
        const char *value = fields.text[i];
        for (size_t k = 0, n = strnlen(value, sizeof fields.text[i]); k < n; ++k) {
            unsigned char c = static_cast<unsigned char>(value[k]);
            out += (c < 0x20 || c == 0x7F) ? '?' : static_cast<char>(c);
        }
        out += '\n';
    }
    return out;
}

void TerminalViewOpen(TerminalView &view, bool printAsked) {
    view = {};
    view.inPlace = isatty(STDOUT_FILENO) == 1;
    view.print = !view.inPlace && printAsked;
}

void TerminalViewShow(TerminalView &view, const StatusFields &fields) {
    if (view.inPlace) {
        Put(TerminalViewText(fields, view.drawn));
        view.drawn = true;
    } else if (view.print) {
        Put(TerminalViewText(fields, false) + "\n");
    }
}

void TerminalViewClose(TerminalView &view) {
    view = {};
}
