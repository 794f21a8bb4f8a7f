// The Linux server's "Render Status" view: the nine labelled fields on standard output.
#pragma once

#include "newest_writer.h"
#include "report.h"

#include <memory>
#include <string>

struct TerminalView {
    bool inPlace = false;  // standard output is a terminal: the block is redrawn where it stands
    bool print = false;    // not a terminal, but asked to print: one block per refresh
    // Writes the blocks on a thread of its own, so a paused terminal or a
    // pipe nobody reads never stops the loop; a block not yet written is
    // replaced by a newer one.
    std::unique_ptr<NewestWriter<StatusFields>> writer;
};

// How long closing waits for the last block to be written.
inline constexpr int kTerminalCloseMs = 3000;

// Decides how to show the fields: in place on a terminal, as plain blocks
// when printAsked, otherwise not at all.
void TerminalViewOpen(TerminalView &view, bool printAsked);
// Hands the fields to the view's writer; never waits for the terminal.
void TerminalViewShow(TerminalView &view, const StatusFields &fields);
// Writes the last block and leaves the cursor below it, waiting at most
// kTerminalCloseMs for a terminal that takes nothing.
void TerminalViewClose(TerminalView &view);

// The block's text: the title and the nine "Label: value" lines. redraw
// first moves the cursor back over a block drawn before and clears each line.
// Control characters in the values are shown as '?'.
std::string TerminalViewText(const StatusFields &fields, bool redraw);
