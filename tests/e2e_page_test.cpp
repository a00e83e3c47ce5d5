// The site page of a running poll: served with its security policy and
// nothing fetched from elsewhere, and its trend from the history file.
#include <cstdlib>

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

}  // namespace
