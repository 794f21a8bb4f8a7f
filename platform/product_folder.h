// The vendor and product names that this program's per-user folders and registry key are named after, on every system.
#pragma once

#include <string>
#include <string_view>

inline constexpr std::string_view kVendorName = "Zandrel";
inline constexpr std::string_view kProductName = "Pellick";

// Vendor, separator, product: this program's folder under a per-user root
// (the XDG folders on POSIX, %LOCALAPPDATA% on Windows) with '/' or '\\',
// and with '\\' its registry key under HKEY_CURRENT_USER\Software.
inline std::string ProductFolder(char separator) {
    std::string out(kVendorName);
    out += separator;
    out += kProductName;
    return out;
}
