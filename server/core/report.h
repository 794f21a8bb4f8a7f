// The status report: the nine window fields and the HTML fragment, computed from the client table.
#pragma once

#include "client_table.h"

#include <cstdint>
#include <string>

// Window value fields 1000..1008, in that order.
inline constexpr int kFieldFirstId = 1000;
inline constexpr int kFieldCount = 9;

struct StatusFields {
    char text[kFieldCount][260];
};

// Builds the fields and the HTML fragment for the table at instant now
// (file-time ticks; injected so tests are exact). html gets the exact bytes
// of the fragment whether or not output is on.
void BuildReport(const ClientTable &table, uint64_t now, StatusFields &fields, std::string &html);

// Builds the report at the current time, writes the HTML file atomically
// when output is on (settings.h), and returns the fields for the platform
// to show.
void RefreshStatus(const ClientTable &table, StatusFields &fields);
