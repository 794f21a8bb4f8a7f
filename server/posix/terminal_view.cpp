// Draws the nine status fields on the terminal, in place, or as plain text when asked, from a writer thread of its own.
#include "terminal_view.h"

#include "file_calls.h"

#include <cstring>
#include <unistd.h>

namespace {

constexpr int kLabelWidth = 18;
constexpr int kBlockLines = 1 + kFieldCount;

void Put(const std::string &text) { FileWriteStdout(text.data(), text.size()); }

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
    if (!view.inPlace && !view.print) return;
    // drawn: the in-place block is on the screen (the writer thread's own state).
    view.writer = std::make_unique<NewestWriter<StatusFields>>(
        [inPlace = view.inPlace, drawn = false](const StatusFields &fields) mutable {
            if (inPlace) {
                Put(TerminalViewText(fields, drawn));
                drawn = true;
            } else {
                Put(TerminalViewText(fields, false) + "\n");
            }
        });
}

void TerminalViewShow(TerminalView &view, const StatusFields &fields) {
    if (view.writer) view.writer->Post(fields);
}

void TerminalViewClose(TerminalView &view) {
    if (view.writer) view.writer->Close(kTerminalCloseMs);
    view = {};
}
