// The options dialog: largest duration unit, decimals and the HTML file, applied the moment they change and saved (clearing Save stops output for this run only).
#pragma once

#include "settings.h"

#include <windows.h>

// Runs the dialog modally over owner; returns when the user ends it with
// "OK", Enter or the close box. Each change goes to settings through the
// settings API at once. Socket notifications for the owner keep being
// dispatched by the dialog's own message loop meanwhile.
void RunOptionsDialog(HINSTANCE instance, HWND owner, ServerSettings &settings);
