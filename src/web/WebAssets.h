// The console's pages, scripts and styles, compiled into the binary from the files under web/
// (a build step writes them into a generated source), so that a gateway without internet
// serves the whole console itself.
#pragma once

#include <cstddef>
#include <string>

struct WebAsset {
  const char* path;  // "/index.html", "/app.js", ...
  const char* contentType;
  const unsigned char* data;
  size_t size;
};

// The asset served at `path`; null when there is none.
const WebAsset* FindWebAsset(const std::string& path);
