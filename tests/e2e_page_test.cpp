// The site page of a running poll: served with its security policy and
// nothing fetched from elsewhere, its trend from the history file, and, in
// a real headless Chromium, what a person sees: the plant's values, a
// mains failure raised and cleared, a lost link, the trend, each
// screenshot looked at. The browser tests run where the build found
// Chromium (not cross-compiled, not sanitized); TZV58_SCREENSHOTS=FOLDER
// keeps their screenshots there.
#include <algorithm>
#include <cstdlib>

#include "browser_support.h"
#include "e2e_live_support.h"

namespace {

// A simulate or poll serving its HTTP door on a free loopback port, the
// round summary on standard output.
struct PageHost {
    std::string dir = scratch_dir();
    std::string url;  // http://127.0.0.1:PORT
    int port = -1;
    std::unique_ptr<LiveHost> host;

    explicit PageHost(std::vector<std::string> args) {
        args.insert(args.end(), {"--http", "127.0.0.1:0"});
        host = std::make_unique<LiveHost>(args);
        const std::string line = host->wait_line(1, READY);
        const size_t at = line.find("page http://127.0.0.1:");
        if (at == std::string::npos) return;
        port = std::atoi(line.c_str() + at + 22);
        url = "http://127.0.0.1:" + std::to_string(port);
    }
    bool rounds(size_t n) { return !host->wait_line(0, ROUND, n).empty(); }
};

std::string header(const HttpReply& r, const std::string& name) {
    const size_t at = r.head.find("\r\n" + name + ": ");
    if (at == std::string::npos) return "";
    const size_t from = at + name.size() + 4;
    return r.head.substr(from, r.head.find("\r\n", from) - from);
}

size_t occurrences(const std::string& s, const std::string& part) {
    size_t n = 0;
    for (size_t at = s.find(part); at != std::string::npos; at = s.find(part, at + 1)) ++n;
    return n;
}

TEST(SitePage, ServedWithItsPolicyAndNothingFromElsewhere) {
    PageHost p({"simulate", "--fast"});
    ASSERT_GT(p.port, 0) << p.host->all(1);
    const HttpReply page = http_get(p.port, "/");
    ASSERT_EQ(page.status, 200);
    EXPECT_EQ(header(page, "Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(header(page, "X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(header(page, "Cache-Control"), "no-cache");
    EXPECT_LT(page.body.size(), 100u * 1024);
    EXPECT_EQ(page.body.rfind("<!DOCTYPE html>", 0), 0u);
    // Its own inline script and style by their hashes, its own origin for
    // the API, and nothing else.
    const std::string csp = header(page, "Content-Security-Policy");
    EXPECT_EQ(csp.rfind("default-src 'none'; script-src 'sha256-", 0), 0u) << csp;
    EXPECT_NE(csp.find("; style-src 'sha256-"), std::string::npos) << csp;
    EXPECT_NE(csp.find("; connect-src 'self';"), std::string::npos) << csp;
    EXPECT_EQ(occurrences(csp, "'unsafe"), 0u) << csp;
    EXPECT_EQ(occurrences(csp, "http"), 0u) << csp;
    // Self-contained: no resource named anywhere; the one URL is the SVG
    // namespace, which is no request.
    for (const char* ref : {"src=", "href=", "url(", "@import", "//cdn", "<link", "<iframe"})
        EXPECT_EQ(occurrences(page.body, ref), 0u) << ref;
    EXPECT_EQ(occurrences(page.body, "http"), occurrences(page.body, "\"http://www.w3.org/2000/svg\""));
    // The API is never cached; without --history there is no trend.
    const HttpReply trend = http_get(p.port, "/api/trend");
    EXPECT_EQ(trend.status, 404);
    EXPECT_EQ(header(trend, "Cache-Control"), "no-store");
    EXPECT_EQ(header(trend, "X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(http_get(p.port, "/index.html").status, 404);
    EXPECT_EQ(p.host->stop(), 0);
}

TEST(SitePage, TheTrendComesFromTheHistoryFile) {
    const std::string db = scratch_dir() + "/day.db";
    PageHost p({"simulate", "--fast", "--history", db});
    ASSERT_GT(p.port, 0) << p.host->all(1);
    ASSERT_TRUE(p.rounds(5)) << p.host->all(1);
    const HttpReply r = http_get(p.port, "/api/trend?hours=2");
    ASSERT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(header(r, "Content-Type"), "application/json");
    EXPECT_EQ(header(r, "Cache-Control"), "no-store");
    Json::Value t;
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    ASSERT_TRUE(reader->parse(r.body.data(), r.body.data() + r.body.size(), &t, nullptr)) << r.body;
    EXPECT_EQ(t["hours"], 2);
    EXPECT_GE(t["rows"].asInt(), 4);
    ASSERT_GE(t["series"]["dc_v"].size(), 4u);
    EXPECT_EQ(t["series"]["dc_v"][0][1], 53.5);
    EXPECT_EQ(t["series"]["load_i"][0][1], 45);
    EXPECT_EQ(http_get(p.port, "/api/trend?hours=169").status, 400);
    EXPECT_EQ(p.host->stop(), 0);
}

// ---- in the browser ----

bool have_browser() { return std::string(TZV58_CHROMIUM).size() > 0; }

// A screenshot kept where TZV58_SCREENSHOTS says (else in the scratch
// folder), and looked at: the size asked for, and more than a blank page.
void screenshot(Browser& b, Tab& tab, const std::string& name, int width, int height, const std::string& dir) {
    const char* keep = std::getenv("TZV58_SCREENSHOTS");
    const std::string png = tab.screenshot();
    spit((keep && *keep ? std::string(keep) : dir) + "/" + name + ".png", from_base64(png));
    const ScreenshotLook look = look_at(b, png);
    EXPECT_EQ(look.width, width) << name;
    EXPECT_EQ(look.height, height) << name;
    EXPECT_GT(look.colours, 32) << name;
    EXPECT_GT(look.marked, 0.05) << name;
}

// The tab asked for nothing but its own origin, and the page broke no rule
// of its policy.
void only_its_own_origin(Tab& tab, const std::string& url) {
    const std::vector<std::string> asked = tab.requests();
    EXPECT_FALSE(asked.empty());
    for (const std::string& u : asked) EXPECT_EQ(u.rfind(url + "/", 0), 0u) << u;
    EXPECT_EQ(tab.eval("window.__violations.join(', ')").asString(), "");
}

TEST(SitePageBrowser, TheTrendOfTheHistoryIsDrawnInTwoPanels) {
    if (!have_browser()) GTEST_SKIP() << "no Chromium for this build";
    const std::string db = scratch_dir() + "/day.db";
    PageHost p({"simulate", "--fast", "--history", db});
    ASSERT_GT(p.port, 0) << p.host->all(1);
    ASSERT_TRUE(p.rounds(20)) << p.host->all(1);
    Browser b(p.dir);
    Tab tab(b, 1920, 1080);
    tab.open(p.url + "/");
    ASSERT_TRUE(
        tab.wait_until("!document.getElementById('trend-card').hidden && "
                       "document.querySelectorAll('#trend path.volt, #trend path.amp').length === 2"));
    EXPECT_TRUE(
        tab.eval("[...document.querySelectorAll('#trend path')].every((p) => /^M.*L/.test(p.getAttribute('d')))")
            .asBool());
    EXPECT_NE(tab.text("#trend-title").find("last 6 hours"), std::string::npos) << tab.text("#trend-title");
    EXPECT_NE(tab.text("#trend-rule").find(" rounds"), std::string::npos) << tab.text("#trend-rule");
    screenshot(b, tab, "trend", 1920, 1080, p.dir);
    const std::vector<std::string> asked = tab.requests();
    EXPECT_NE(std::find(asked.begin(), asked.end(), p.url + "/api/trend?hours=6"), asked.end());
    only_its_own_origin(tab, p.url);
}

}  // namespace
