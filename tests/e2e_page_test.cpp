// The site page of a running poll: served with its security policy and
// nothing fetched from elsewhere, its trend from the history file, and, in
// a real headless Chromium, what a person sees: the plant's values, a
// mains failure raised and cleared, a lost link, the trend, each
// screenshot looked at. The browser tests run where the build found
// Chromium (not cross-compiled, not sanitized); TZV58_SCREENSHOTS=FOLDER
// keeps their screenshots there.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sstream>

#include "browser_support.h"
#include "e2e_live_support.h"
#include "json_support.h"

#ifndef TZV58_HAVE_SQLITE
#define TZV58_HAVE_SQLITE 0
#endif

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
    if (!TZV58_HAVE_SQLITE) GTEST_SKIP() << "this build of tzv58-host has no history";
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

// A scrape as series (the name with its labels, as written) and values.
std::map<std::string, double> series_of(const std::string& scrape) {
    std::map<std::string, double> out;
    std::istringstream lines(scrape);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] == '#') continue;
        const size_t blank = line.rfind(' ');
        out[line.substr(0, blank)] = std::strtod(line.c_str() + blank + 1, nullptr);
    }
    return out;
}

// A plant with a value of its own in every place: two channels without
// mains (so an alarm is raised), five modules (one faulty), two DC units
// with batteries and branches, extra AC values and vendor readings.
const char* const DISTINCT_PLANT = R"({
  "ac": {"channels": [{"a": 120.5, "b": 0, "c": 99.25, "f": 49.9}, {"a": 80, "b": 81, "c": 82, "f": 50.1}],
         "tail": [1.5, 2.5, 3.5]},
  "rectifiers": {"out_v": 54.25, "modules": [{"out_i": 10.5}, {"out_i": 11.25, "fault": 1}, {"out_i": 12},
                                             {"out_i": 0.75}, {"out_i": 13.5}]},
  "dc": [{"out_v": 53.75, "load_i": 37.5, "battery_i": [1.25, 2.5], "branch_i": [10, 12.5, 15]},
         {"out_v": 48.5, "load_i": 5.25, "battery_i": [0.5], "branch_i": [5.25]}],
  "vendor": [61.5, 7.5]})";

// One snapshot three ways: the page's JSON (GET /api/status), the metrics
// and get --json agree on every value; the metrics hold nothing the status
// object does not.
TEST(SitePage, TheStatusTheMetricsAndGetJsonAgreeOnEveryValue) {
    const std::string dir = scratch_dir(), plant_file = dir + "/plant.json", link = dir + "/port";
    spit(plant_file, DISTINCT_PLANT);
    const pid_t plant = start_host({"plant", "--link", link, "--plant", plant_file}, dir + "/out", dir + "/err");
    ASSERT_TRUE(wait_for_lines(dir + "/out", "ready " + link, 1, WAIT_MS)) << slurp(dir + "/err");
    const std::string socket = dir + "/live.sock";
    PageHost p({"poll", "--port", link, "--listen", socket});
    ASSERT_GT(p.port, 0) << p.host->all(1);
    ASSERT_TRUE(p.rounds(2)) << p.host->all(1);

    // The three read between the same two rounds: the round counters say so
    // (a round every two seconds or so; tried again when one came between).
    Json::Value api, got;
    std::map<std::string, double> m;
    const auto rounds = [](const Json::Value& s) { return s["rounds"]["completed"].asDouble(); };
    for (int attempt = 0; attempt < 5; ++attempt) {
        api = parse_json(http_get(p.port, "/api/status").body);
        m = series_of(http_get(p.port, "/metrics").body);
        const HostRun json = run_host({"get", "--socket", socket, "--json"});
        ASSERT_EQ(json.status, 0) << json.err;
        got = parse_json(json.out);
        const Json::Value after = parse_json(http_get(p.port, "/api/status").body);
        if (rounds(api) == rounds(after) && rounds(got) == rounds(api)) break;
    }
    ASSERT_EQ(rounds(api), m["tzv58_rounds_completed_total"]);
    ASSERT_EQ(rounds(got), rounds(api));

    // get --json is the status object itself; only the clock moved on.
    for (Json::Value* s : {&api, &got}) {
        s->removeMember("time");
        (*s)["data"].removeMember("age_s");
    }
    EXPECT_EQ(json_text(got), json_text(api));

    const Json::Value& v = api["values"];
    size_t values = 0;
    const auto same = [&](const std::string& series, const Json::Value& value) {
        ++values;
        ASSERT_TRUE(m.count(series)) << series;
        EXPECT_EQ(m[series], value.asDouble()) << series;
    };
    const std::string phases = "abc";
    ASSERT_EQ(v["channel"].size(), 2u);
    for (Json::ArrayIndex c = 0; c < v["channel"].size(); ++c) {
        const std::string ch = "channel=\"" + std::to_string(c + 1) + "\"";
        for (const char ph : phases)
            same("tzv58_ac_phase_voltage_volts{" + ch + ",phase=\"" + ph + "\"}", v["channel"][c][std::string(1, ph)]);
        same("tzv58_ac_frequency_hertz{" + ch + "}", v["channel"][c]["f"]);
    }
    for (Json::ArrayIndex i = 0; i < v["ac_tail"].size(); ++i)
        same("tzv58_ac_extra_value{index=\"" + std::to_string(i + 1) + "\"}", v["ac_tail"][i]);
    same("tzv58_rectifier_output_voltage_volts", v["rc_out_v"]);
    same("tzv58_rectifier_modules", v["module_count"]);
    ASSERT_EQ(v["module"].size(), 5u);
    for (Json::ArrayIndex i = 0; i < v["module"].size(); ++i) {
        const std::string mod = "{module=\"" + std::to_string(i + 1) + "\"}";
        same("tzv58_rectifier_output_current_amperes" + mod, v["module"][i]["out_i"]);
        same("tzv58_rectifier_module_fault" + mod, v["module"][i]["fault"]);
    }
    ASSERT_EQ(v["dc"].size(), 2u);
    for (Json::ArrayIndex u = 0; u < v["dc"].size(); ++u) {
        const Json::Value& dc = v["dc"][u];
        const std::string unit = "unit=\"" + std::to_string(u + 1) + "\"";
        same("tzv58_dc_output_voltage_volts{" + unit + "}", dc["out_v"]);
        same("tzv58_dc_load_current_amperes{" + unit + "}", dc["load_i"]);
        for (Json::ArrayIndex b = 0; b < dc["battery_i"].size(); ++b)
            same("tzv58_dc_battery_current_amperes{" + unit + ",battery=\"" + std::to_string(b + 1) + "\"}",
                 dc["battery_i"][b]);
        for (Json::ArrayIndex b = 0; b < dc["branch_i"].size(); ++b)
            same("tzv58_dc_branch_current_amperes{" + unit + ",branch=\"" + std::to_string(b + 1) + "\"}",
                 dc["branch_i"][b]);
    }
    for (Json::ArrayIndex i = 0; i < v["ext_value"].size(); ++i)
        same("tzv58_vendor_value{index=\"" + std::to_string(i + 1) + "\"}", v["ext_value"][i]);
    EXPECT_EQ(values, 2u * 4 + 3 + 2 + 5 * 2 + (2 + 2 + 3) + (2 + 1 + 1) + 2);

    // Every active alarm is a series at 1, and no other series is.
    ASSERT_GE(api["alarms"].size(), 1u) << "no mains";
    size_t active = 0;
    for (const auto& series : m)
        if (series.first.rfind("tzv58_alarm_active{", 0) == 0) active += series.second == 1;
    EXPECT_EQ(active, api["alarms"].size());
    for (const Json::Value& a : api["alarms"]) {
        const std::string head = "tzv58_alarm_active{key=\"" + a["key"].asString() + "\",id=\"" + a["id"].asString() +
                                 "\",level=\"" + std::to_string(a["level"].asInt()) + "\",item=\"";
        const std::string tail = "\",text=\"" + a["text2"].asString() + "\"}";
        bool found = false;
        for (const auto& series : m)
            found = found || (series.first.rfind(head, 0) == 0 &&
                              series.first.compare(series.first.size() - tail.size(), tail.size(), tail) == 0 &&
                              series.second == 1);
        EXPECT_TRUE(found) << head << "..." << tail;
    }
    // The link, the rounds and the age of the data.
    EXPECT_EQ(m["tzv58_link_up"], api["link"]["state"] == "open" && api["rounds"]["last"] == "complete" ? 1 : 0);
    EXPECT_EQ(m["tzv58_rounds_failed_total"], api["rounds"]["failed"].asDouble());
    EXPECT_EQ(m["tzv58_data_current"], api["data"]["current"].asBool() ? 1 : 0);
    // The line errors, a series for each reason the status object counts.
    size_t reasons = 0;
    for (const auto& series : m) reasons += series.first.rfind("tzv58_line_errors_total{reason=\"", 0) == 0;
    EXPECT_EQ(reasons, api["line_errors"].size());
    // Nothing more in the metrics than these.
    size_t value_series = 0;
    for (const auto& series : m)
        value_series += series.first.rfind("tzv58_alarm_active", 0) != 0 && series.first.rfind("tzv58_link", 0) != 0 &&
                        series.first.rfind("tzv58_rounds", 0) != 0 && series.first.rfind("tzv58_last_", 0) != 0 &&
                        series.first.rfind("tzv58_data_current", 0) != 0 &&
                        series.first.rfind("tzv58_line_errors_total", 0) != 0 &&
                        series.first.find("_dropped_total") == std::string::npos;
    EXPECT_EQ(value_series, values);

    EXPECT_EQ(p.host->stop(), 0);
    kill(plant, SIGTERM);
    EXPECT_EQ(wait_child(plant, WAIT_MS), 0);
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

// The text of every element the selector finds, joined by '|'.
std::string cells(Tab& tab, const std::string& selector) {
    return tab.eval("[...document.querySelectorAll(" + json_text(selector) + ")].map((e) => e.textContent).join('|')")
        .asString();
}

// The tab asked for nothing but its own origin, and the page broke no rule
// of its policy.
void only_its_own_origin(Tab& tab, const std::string& url) {
    const std::vector<std::string> asked = tab.requests();
    EXPECT_FALSE(asked.empty());
    for (const std::string& u : asked) EXPECT_EQ(u.rfind(url + "/", 0), 0u) << u;
    EXPECT_EQ(tab.eval("window.__violations.join(', ')").asString(), "");
}

// What the page shows of a healthy plant, on a 1080p screen and a phone,
// and that it goes on asking: the rounds it shows move on.
TEST(SitePageBrowser, TheHealthyPlantsValuesOnAScreenAndAPhone) {
    if (!have_browser()) GTEST_SKIP() << "no Chromium for this build";
    PageHost p({"simulate"});
    ASSERT_GT(p.port, 0) << p.host->all(1);
    Browser b(p.dir);
    Tab tab(b, 1920, 1080);
    const auto opened = std::chrono::steady_clock::now();
    tab.open(p.url + "/");
    ASSERT_TRUE(
        tab.wait_until("document.getElementById('dc').textContent.includes('53.5V') && "
                       "document.getElementById('ac').textContent.includes('230')"))
        << tab.text("body");
    std::printf("the plant's values shown %lld ms after the page was opened\n", elapsed_ms(opened));
    EXPECT_EQ(tab.text("#link"), "link open");
    EXPECT_TRUE(tab.eval("document.getElementById('banner').hidden").asBool());
    EXPECT_EQ(tab.text("#alarms"), "none");
    // 48 A from the rectifiers for a 45 A load: the battery charges.
    EXPECT_TRUE(contains(tab.text("#dc"), "load45A")) << tab.text("#dc");
    EXPECT_TRUE(contains(tab.text("#dc"), "battery 13A charging")) << tab.text("#dc");
    EXPECT_TRUE(contains(tab.text("#rc"), "53V4 modules")) << tab.text("#rc");
    EXPECT_EQ(cells(tab, "#rc .mod b"), "12 A|11 A|12 A|13 A");
    EXPECT_EQ(cells(tab, "#ac tr:nth-child(2) td"), "AC 1|230|231|229|50");
    EXPECT_EQ(cells(tab, "#ac tr:nth-child(3) td"), "AC 2|229|230|228|50");
    EXPECT_EQ(tab.text("#vendor"), "ext_value[0]50ext_value[1]10");
    screenshot(b, tab, "healthy", 1920, 1080, p.dir);
    // It updates itself.
    const std::string foot = tab.text("#foot");
    EXPECT_TRUE(tab.wait_until("document.getElementById('foot').textContent !== " + json_text(foot))) << foot;

    tab.resize(390, 844);
    EXPECT_TRUE(tab.wait_until("document.documentElement.scrollWidth <= window.innerWidth"))
        << "no sideways scrolling on a phone";
    screenshot(b, tab, "phone", 390, 844, p.dir);
    only_its_own_origin(tab, p.url);
    EXPECT_EQ(p.host->stop(), 0);
}

// The common CJK fonts, as the page's font list names them.
const std::vector<std::string> CJK_FONTS = {"PingFang SC",         "Hiragino Sans GB",   "Microsoft YaHei",
                                            "Noto Sans CJK SC",    "Source Han Sans SC", "Noto Sans SC",
                                            "WenQuanYi Micro Hei", "WenQuanYi Zen Hei"};

// A power system that loses its mains and gets them back, then a line that
// goes: the page raises and clears the alarm and says the link is down.
TEST(SitePageBrowser, AMainsFailureComesAndGoesAndALostLinkIsSaid) {
    if (!have_browser()) GTEST_SKIP() << "no Chromium for this build";
    const std::string dir = scratch_dir(), file = dir + "/plant.json", link = dir + "/port";
    // Mains gone: the rectifiers give nothing, the battery carries the load.
    spit(file, R"({"ac": {"channels": [{"a": 0, "b": 0, "c": 0}, {"a": 0, "b": 0, "c": 0}]},
                   "rectifiers": {"modules": [{"out_i": 0, "fault": 3}, {"out_i": 0}, {"out_i": 0}, {"out_i": 0}]},
                   "dc": [{"out_v": 49.8, "battery_i": [45]}]})");
    const pid_t plant = start_host({"plant", "--link", link, "--plant", file}, dir + "/plant.out", dir + "/plant.err");
    ASSERT_TRUE(wait_for_lines(dir + "/plant.out", "ready " + link, 1, WAIT_MS)) << slurp(dir + "/plant.err");
    PageHost p({"poll", "--port", link, "--silent-after", "1"});
    ASSERT_GT(p.port, 0) << p.host->all(1);
    Browser b(p.dir);
    Tab tab(b, 1920, 1080);
    tab.open(p.url + "/");
    const std::string power_off = "document.querySelector('#alarms li[data-key=\"PowerOff\"]')";
    ASSERT_TRUE(tab.wait_until(power_off)) << tab.text("body");
    EXPECT_TRUE(contains(tab.eval(power_off + ".textContent").asString(), "critical"));
    EXPECT_TRUE(contains(tab.eval(power_off + ".textContent").asString(), "since 20"));
    EXPECT_EQ(tab.text("#mains").rfind("Mains failure since 20", 0), 0u) << tab.text("#mains");
    // A status byte of the power system is said as such, as get says it.
    EXPECT_EQ(tab.text("#alarms li[data-at=\"module[0].fault\"]"),
              "statusstatus byte 03H from the power systemmodule[0].fault");
    // The alarm's texts drawn, every glyph of them, with a CJK font that the
    // page names (no boxes in the screenshot).
    const std::string txt = "#alarms li[data-key=\"PowerOff\"] .txt";
    const std::string listed = tab.eval("getComputedStyle(document.body).fontFamily").asString();
    int cjk_glyphs = 0;
    std::string used;
    for (const auto& f : tab.fonts_of(txt)) {
        used += f.first + ": " + std::to_string(f.second) + " glyphs; ";
        if (std::count(CJK_FONTS.begin(), CJK_FONTS.end(), f.first) && contains(listed, "\"" + f.first + "\""))
            cjk_glyphs += f.second;
    }
    EXPECT_EQ(cjk_glyphs, tab.eval("[...document.querySelector(" + json_text(txt) + ").textContent].length").asInt())
        << used << "(scripts/setup.sh test installs a CJK font)";
    EXPECT_TRUE(contains(tab.text("#dc"), "battery 145A discharging")) << tab.text("#dc");
    EXPECT_TRUE(tab.wait_until("document.querySelector('#changes li[data-key=\"PowerOff\"] .lvl.l1')"));
    screenshot(b, tab, "alarm", 1920, 1080, p.dir);

    spit(file, "{}");
    kill(plant, SIGHUP);
    ASSERT_TRUE(wait_for_lines(dir + "/plant.out", "reloaded", 1, WAIT_MS)) << slurp(dir + "/plant.err");
    EXPECT_TRUE(tab.wait_until("!" + power_off +
                               " && document.querySelector('#changes li').textContent"
                               ".startsWith('cleared')"))
        << tab.text("body");
    EXPECT_EQ(tab.text("#alarms"), "none");

    // Stopped with its port open: no answer, in red; then answering again.
    kill(plant, SIGSTOP);
    EXPECT_TRUE(
        tab.wait_until("document.getElementById('link').textContent === 'no answer' && "
                       "document.getElementById('link').className === 'down'"))
        << tab.text("body");
    EXPECT_TRUE(tab.wait_until(
        "document.getElementById('banner').textContent.startsWith('No answer from the power system at address 1 since "
        "20')"))
        << tab.text("#banner");
    kill(plant, SIGCONT);
    EXPECT_TRUE(tab.wait_until("document.getElementById('link').textContent === 'link open'")) << tab.text("body");

    kill(plant, SIGUSR1);
    ASSERT_TRUE(wait_for_lines(dir + "/plant.out", "unplugged " + link, 1, WAIT_MS));
    ASSERT_TRUE(tab.wait_until("document.getElementById('link').textContent === 'link down'")) << tab.text("body");
    EXPECT_TRUE(tab.wait_until("document.getElementById('banner').textContent.startsWith('Link down since 20')"))
        << tab.text("#banner");
    EXPECT_TRUE(contains(tab.text("#banner"), "(hang-up)")) << tab.text("#banner");
    // The alarms are unknown now, never a green "none": the last known, said so.
    EXPECT_TRUE(tab.wait_until("!document.getElementById('alarm-state').hidden")) << tab.text("#alarms-card");
    EXPECT_EQ(tab.text("#alarm-state").rfind("Unknown: the data is not current.", 0), 0u) << tab.text("#alarm-state");
    EXPECT_EQ(tab.text("#alarms"), "none active in the last known round");
    EXPECT_EQ(tab.text("#mains"), "Mains: no failure alarm (last known)");
    screenshot(b, tab, "link-down", 1920, 1080, p.dir);
    kill(plant, SIGUSR2);
    EXPECT_TRUE(tab.wait_until("document.getElementById('link').textContent === 'link open'")) << tab.text("body");
    only_its_own_origin(tab, p.url);
    EXPECT_EQ(p.host->stop(), 0);
    kill(plant, SIGTERM);
    EXPECT_EQ(wait_child(plant, WAIT_MS), 0);
}

TEST(SitePageBrowser, TheTrendOfTheHistoryIsDrawnInTwoPanels) {
    if (!TZV58_HAVE_SQLITE) GTEST_SKIP() << "this build of tzv58-host has no history";
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

// A site's page: each power system in a list, the worst first (one that
// does not answer, then a mains failure, then the healthy one), and the one
// chosen shown below it, with its own trend.
TEST(SitePageBrowser, ASiteListsEachPowerSystemTheWorstFirst) {
    if (!have_browser()) GTEST_SKIP() << "no Chromium for this build";
    const std::string dir = scratch_dir();
    spit(dir + "/off.json", R"({"ac": {"channels": [{"a": 0, "b": 0, "c": 0}, {"a": 0, "b": 0, "c": 0}]}})");
    spit(dir + "/site.json", R"({"power_systems": [
        {"name": "north", "port": "bus1", "address": 1},
        {"name": "south", "port": "bus1", "address": 2, "plant": "off.json"},
        {"name": "annex", "port": "bus2", "address": 1, "silent": true}]})");
    PageHost p({"simulate", "--site", dir + "/site.json", "--silent-after", "1", "--timeout", "200"});
    ASSERT_GT(p.port, 0) << p.host->all(1);
    Browser b(p.dir);
    Tab tab(b, 1920, 1080);
    tab.open(p.url + "/");
    const std::string order = "[...document.querySelectorAll('#site b')].map((e) => e.textContent).join(' ')";
    const std::string states = "[...document.querySelectorAll('#site .state')].map((e) => e.textContent).join('|')";
    ASSERT_TRUE(tab.wait_until(states + " === 'no answer|mains failure|ok'")) << tab.text("#site");
    EXPECT_EQ(tab.eval(order).asString(), "annex south north");
    // The worst is shown first; another is a click away.
    EXPECT_TRUE(tab.wait_until("document.getElementById('where').textContent.startsWith('annex')"))
        << tab.text("#where");
    tab.eval("document.querySelector('#site button[data-name=north]').click()");
    ASSERT_TRUE(tab.wait_until("document.getElementById('dc').textContent.includes('53.5V')")) << tab.text("body");
    EXPECT_TRUE(tab.text("#where").rfind("north \u00b7 /dev/pts/", 0) == 0) << tab.text("#where");
    EXPECT_EQ(tab.text("#alarms"), "none");
    screenshot(b, tab, "site", 1920, 1080, p.dir);
    tab.resize(390, 844);
    EXPECT_TRUE(tab.wait_until("document.documentElement.scrollWidth <= window.innerWidth"))
        << "no sideways scrolling on a phone";
    screenshot(b, tab, "site-phone", 390, 844, p.dir);
    only_its_own_origin(tab, p.url);
    EXPECT_EQ(p.host->stop(), 0);
}

}  // namespace
