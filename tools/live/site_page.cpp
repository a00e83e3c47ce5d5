#include "tools/live/site_page.h"

namespace tzv58::tool {

HttpResponse site_page_response() {
    HttpResponse r;
    r.content_type = "text/html; charset=utf-8";
    r.body.assign(reinterpret_cast<const char*>(SITE_PAGE_HTML), SITE_PAGE_HTML_SIZE);
    r.headers = {{"Content-Security-Policy", SITE_PAGE_CSP},
                 {"Cache-Control", "no-cache"},
                 {"Referrer-Policy", "no-referrer"},
                 {"X-Frame-Options", "DENY"}};
    return r;
}

std::vector<std::pair<std::string, std::string>> http_door_headers() {
    return {{"X-Content-Type-Options", "nosniff"}, {"Cache-Control", "no-store"}};
}

}  // namespace tzv58::tool
