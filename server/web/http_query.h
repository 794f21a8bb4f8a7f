// Query strings and cookies of HTTP requests: bounded parsing into names and decoded values.
#pragma once

#include "ascii_case.h"  // EqualsNoCase, for header names, host names and extensions

#include <string>
#include <string_view>
#include <utility>
#include <vector>

// At most this many parameters are read from one query; the rest are ignored.
inline constexpr size_t kMaxQueryParameters = 32;

// name=value pairs separated by '&', percent-decoded ('+' is a space). A
// parameter without '=' has an empty value; a bad escape is kept as it is.
std::vector<std::pair<std::string, std::string>> ParseQuery(std::string_view query);

// The value of the first parameter of that name; false when there is none.
bool QueryValue(std::string_view query, std::string_view name, std::string &value);

// The value of the named cookie in a Cookie header ("a=1; b=2"), or empty.
std::string_view CookieValue(std::string_view header, std::string_view name);

// Whether a Content-Type value names that media type ("type/subtype", ASCII
// case and the spaces around it ignored), parameters or not.
bool IsMediaType(std::string_view contentType, std::string_view type);
