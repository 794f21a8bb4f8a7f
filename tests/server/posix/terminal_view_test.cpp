// Tests of the Linux server's terminal block: labels, order, in-place redraw and unsafe value bytes.
#include "terminal_view.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

StatusFields Fields() {
    StatusFields f{};
    const char *values[kFieldCount] = {"2", "40", "100", "40.000000%", "12/8/2026 5:07:19 AM",
                                       "1:00.0000", "20.0000", "20:00.0000", "12/8/2026 5:27:19 AM"};
    for (int i = 0; i < kFieldCount; ++i) std::strcpy(f.text[i], values[i]);
    return f;
}

TEST(TerminalView, BlockShowsTheNineLabelsInWindowOrder) {
    const std::string want =
        "Render Status\n"
        "Active CPUs:      2\n"
        "Passes Rendered:  40\n"
        "Total Passes:     100\n"
        "Percent Complete: 40.000000%\n"
        "Start Time:       12/8/2026 5:07:19 AM\n"
        "Elapsed Time:     1:00.0000\n"
        "Recent Time/Pass: 20.0000\n"
        "Est Remaining:    20:00.0000\n"
        "Est Complete at:  12/8/2026 5:27:19 AM\n";
    EXPECT_EQ(TerminalViewText(Fields(), false), want);
}

TEST(TerminalView, RedrawMovesUpOverTheOldBlockAndClearsEachLine) {
    std::string text = TerminalViewText(Fields(), true);
    ASSERT_EQ(text.rfind("\x1b[10A", 0), 0u) << text;
    size_t clears = 0;
    for (size_t at = 0; (at = text.find("\r\x1b[2K", at)) != std::string::npos; ++at) ++clears;
    EXPECT_EQ(clears, 10u);
    size_t lines = 0;
    for (char c : text) lines += c == '\n';
    EXPECT_EQ(lines, 10u) << "as many lines down as the cursor went up";
}

TEST(TerminalView, ValuesCannotCarryTerminalControlsOrRunPastTheirField) {
    StatusFields f{};
    std::strcpy(f.text[0], "1\x1b[2J\r\n\x7f");
    std::memset(f.text[1], '7', sizeof f.text[1]);  // no terminator
    std::string text = TerminalViewText(f, false);
    EXPECT_NE(text.find("Active CPUs:      1?[2J???\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Passes Rendered:  " + std::string(sizeof f.text[1], '7') + "\nTotal Passes:"),
              std::string::npos);
}

}  // namespace
