// The dashboard page's files, embedded in pellicksrv at build time from server/web/assets.
#pragma once

#include <cstddef>
#include <span>

struct WebAsset {
    const char *path;         // URL path, "/" for the page
    const char *contentType;
    const unsigned char *data;
    size_t size;
};

extern const std::span<const WebAsset> kWebAssets;
