// The options dialog: largest duration unit, decimals and the HTML file, applied and saved the moment they change.
#pragma once

#include <windows.h>

// Runs the dialog modally over owner; returns when the user ends it with
// "OK", Enter or the close box. Socket notifications for the owner keep
// being dispatched by the dialog's own message loop meanwhile.
void RunOptionsDialog(HINSTANCE instance, HWND owner);
