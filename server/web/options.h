// Option changes from the dashboard's panel: who may send them, what they say, and applying them on the core thread.
#pragma once

#include "settings.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The options dialog's choices as the page sends them (JSON object):
// "maxScale" 0..3, "resolution" 0..4, "stallSeconds" 10..86400, "htmlPath" (a file chosen: HTML output
// on, path saved) or "save": false (output off for this run; the saved path
// stays in the store for the next start, as when the dialog's "Save" is cleared), "webhook"
// (an http:// or https:// address events are posted to; "" turns it off).
struct OptionsChange {
    std::optional<int32_t> maxScale;
    std::optional<int32_t> resolution;
    std::optional<int32_t> stallSeconds;
    std::optional<std::string> htmlPath;  // bytes for the platform's file calls, at most 259
    bool stopOutput = false;
    std::optional<std::string> webhook;  // checked by IsWebhookUrl; empty: none
};

// Parses a request body. ansiPaths: the server's file calls take code page
// 1252, so the path is converted to it. A path must be absolute on a local
// drive and end in .htm or .html, so a change cannot aim the report at any
// other file the server may replace. False with a short reason on anything
// malformed, out of range, unknown or contradictory.
bool ParseOptionsChange(std::string_view body, bool ansiPaths, OptionsChange &change, std::string &error);

// Core thread: applies the change to settings through the settings API
// (settings.h), as the options dialog does. 1 when every store write that
// was due worked.
int ApplyOptionsChange(const OptionsChange &change, ServerSettings &settings);

// 127.0.0.0/8, ::1 and IPv4-mapped 127.x addresses, as the HTTP layer writes them.
bool IsLoopbackAddress(std::string_view address);

// Whether a request may change settings: it comes from a loopback address,
// names a loopback host (so a page of another site that resolves its name to
// 127.0.0.1 cannot reach in), and, when the browser says where it was made
// (Origin), was made by the dashboard's own page.
bool ChangeAllowed(std::string_view remoteAddress, std::string_view host, std::string_view origin);
