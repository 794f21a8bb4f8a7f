// The Linux server's "Render Status" view: the nine labelled fields on standard output.
#pragma once

#include "report.h"

#include <string>

struct TerminalView {
    bool inPlace = false;  // standard output is a terminal: the block is redrawn where it stands
    bool print = false;    // not a terminal, but asked to print: one block per refresh
    bool drawn = false;    // the in-place block is on the screen
};

// Decides how to show the fields: in place on a terminal, as plain blocks
// when printAsked, otherwise not at all.
void TerminalViewOpen(TerminalView &view, bool printAsked);
void TerminalViewShow(TerminalView &view, const StatusFields &fields);
// Leaves the last block on the screen and the cursor below it.
void TerminalViewClose(TerminalView &view);

// The block's text: the title and the nine "Label: value" lines. redraw
// first moves the cursor back over a block drawn before and clears each line.
// Control characters in the values are shown as '?'.
std::string TerminalViewText(const StatusFields &fields, bool redraw);
