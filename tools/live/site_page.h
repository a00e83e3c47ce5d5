// The site page at / on the HTTP door: one self-contained HTML page (its
// script and style inline, nothing fetched from elsewhere) that shows a
// running poll to a person and updates itself from /api/status every two
// seconds and /api/trend every minute. The page's source is
// tools/live/site_page.html; the build embeds it with the hashes of its
// script and style (cmake/embed_page.cmake).
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "tools/live/http_server.h"

namespace tzv58::tool {

extern const unsigned char SITE_PAGE_HTML[];
extern const size_t SITE_PAGE_HTML_SIZE;
// Only the page's own inline script and style (by their SHA-256), and
// requests to the page's own origin.
extern const char* const SITE_PAGE_CSP;

// GET /: the page, with its Content-Security-Policy.
HttpResponse site_page_response();

// What every answer of the HTTP door carries unless it says otherwise: no
// type sniffing, no caching (the page and its API are live).
std::vector<std::pair<std::string, std::string>> http_door_headers();

}  // namespace tzv58::tool
