// Headless Chromium for the tests of the site page, driven over the
// DevTools protocol on a pipe (--remote-debugging-pipe: JSON messages, each
// ended by a NUL byte, on descriptors 3 and 4 of the browser). No port, no
// package beyond the browser itself; every wait bounded; the browser
// stopped by its pid.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <json/reader.h>
#include <json/value.h>
#include <json/writer.h>

#include "e2e_support.h"

// The browser the build found (empty: none, or a build whose page tests
// do not run: cross-compiled, sanitized).
#ifndef TZV58_CHROMIUM
#define TZV58_CHROMIUM ""
#endif

namespace {

constexpr int BROWSER_WAIT_MS = 20000;

std::string json_text(const Json::Value& v) {
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    w["emitUTF8"] = true;
    return Json::writeString(w, v);
}

class Browser {
public:
    // Starts the browser with an empty profile in `dir`, its own output
    // going to dir/browser.log.
    explicit Browser(const std::string& dir) {
        int to[2], from[2];
        if (pipe2(to, O_CLOEXEC) != 0 || pipe2(from, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        const std::string profile = "--user-data-dir=" + dir + "/profile", log = dir + "/browser.log";
        std::vector<std::string> args = {TZV58_CHROMIUM,
                                         "--headless",
                                         "--no-sandbox",
                                         "--disable-gpu",
                                         "--disable-quic",
                                         "--no-first-run",
                                         "--no-default-browser-check",
                                         "--disable-background-networking",
                                         "--disable-component-update",
                                         "--disable-sync",
                                         "--disable-extensions",
                                         "--hide-scrollbars",
                                         "--mute-audio",
                                         "--remote-debugging-pipe",
                                         profile,
                                         "about:blank"};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            // Above the descriptors 3 and 4 first, then onto them.
            const int in = fcntl(to[0], F_DUPFD, 10), out = fcntl(from[1], F_DUPFD, 10);
            dup2(in, 3);
            dup2(out, 4);
            const int o = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600), n = open("/dev/null", O_RDONLY);
            dup2(n, 0);
            dup2(o, 1);
            dup2(o, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(to[0]);
        close(from[1]);
        out_ = to[1];
        in_ = from[0];
    }
    ~Browser() { stop(); }
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    // A command and its result; throws on an error answer or when none
    // comes within the wait.
    Json::Value call(const std::string& method, const Json::Value& params = Json::objectValue,
                     const std::string& session = "", int wait_ms = BROWSER_WAIT_MS) {
        Json::Value m;
        m["id"] = ++last_id_;
        m["method"] = method;
        m["params"] = params;
        if (!session.empty()) m["sessionId"] = session;
        const std::string text = json_text(m) + std::string(1, '\0');
        for (size_t done = 0; done < text.size();) {
            const ssize_t n = write(out_, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) throw std::runtime_error(method + ": the browser's pipe is closed");
            done += size_t(n);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
        for (;;) {
            Json::Value got;
            if (!next(deadline, got)) throw std::runtime_error(method + ": no answer from the browser");
            if (!got.isMember("id")) {
                events.push_back(got);
                continue;
            }
            if (got["id"].asInt() != last_id_) continue;
            if (got.isMember("error")) throw std::runtime_error(method + ": " + json_text(got["error"]));
            return got["result"];
        }
    }

    // Ends the browser: asked to close, then killed by its pid if it does
    // not end within the wait. Its exit status, -1 when killed.
    int stop() {
        if (pid_ <= 0) return status_;
        try {
            call("Browser.close", Json::objectValue, "", 2000);
        } catch (const std::exception&) {}
        close(out_);
        close(in_);
        status_ = wait_child(pid_, BROWSER_WAIT_MS);
        pid_ = -1;
        return status_;
    }

    std::vector<Json::Value> events;  // every event so far, in order

private:
    // The next message, or false at the deadline.
    bool next(std::chrono::steady_clock::time_point deadline, Json::Value& out) {
        for (;;) {
            const size_t nul = pending_.find('\0');
            if (nul != std::string::npos) {
                const std::string text = pending_.substr(0, nul);
                pending_.erase(0, nul + 1);
                Json::CharReaderBuilder b;
                std::unique_ptr<Json::CharReader> r(b.newCharReader());
                std::string why;
                if (!r->parse(text.data(), text.data() + text.size(), &out, &why))
                    throw std::runtime_error("a message from the browser is not JSON: " + why);
                return true;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{in_, POLLIN, 0};
            const int ready = ::poll(&p, 1, int(left.count()));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
            char buf[65536];
            const ssize_t n = read(in_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            pending_.append(buf, size_t(n));
        }
    }

    pid_t pid_ = -1;
    int status_ = -1;
    int out_ = -1, in_ = -1;
    int last_id_ = 0;
    std::string pending_;
};

// One tab of the browser, with its own session: its requests are recorded,
// and a script installed before the page's own counts CSP violations.
class Tab {
public:
    Tab(Browser& b, int width, int height) : b_(b) {
        Json::Value create;
        create["url"] = "about:blank";
        const std::string target = b.call("Target.createTarget", create)["targetId"].asString();
        Json::Value attach;
        attach["targetId"] = target;
        attach["flatten"] = true;
        session_ = b.call("Target.attachToTarget", attach)["sessionId"].asString();
        for (const char* domain : {"Page.enable", "Network.enable", "Runtime.enable"}) call(domain);
        Json::Value script;
        script["source"] =
            "window.__violations = [];"
            "document.addEventListener('securitypolicyviolation',"
            " (e) => window.__violations.push(e.violatedDirective + ' ' + e.blockedURI));";
        call("Page.addScriptToEvaluateOnNewDocument", script);
        resize(width, height);
    }

    Json::Value call(const std::string& method, const Json::Value& params = Json::objectValue) {
        return b_.call(method, params, session_);
    }

    void resize(int width, int height) {
        Json::Value m;
        m["width"] = width;
        m["height"] = height;
        m["deviceScaleFactor"] = 1;
        m["mobile"] = width < 600;
        call("Emulation.setDeviceMetricsOverride", m);
    }

    void open(const std::string& url) {
        Json::Value nav;
        nav["url"] = url;
        const Json::Value r = call("Page.navigate", nav);
        if (r.isMember("errorText")) throw std::runtime_error("cannot open " + url + ": " + r["errorText"].asString());
    }

    // The value of a JavaScript expression (awaited when it is a promise).
    Json::Value eval(const std::string& expression) {
        Json::Value m;
        m["expression"] = expression;
        m["awaitPromise"] = true;
        m["returnByValue"] = true;
        const Json::Value r = call("Runtime.evaluate", m);
        if (r.isMember("exceptionDetails"))
            throw std::runtime_error(expression + ": " + json_text(r["exceptionDetails"]));
        return r["result"]["value"];
    }

    // Waits until a JavaScript condition on the page holds: looked at again
    // whenever the document changes, never longer than wait_ms.
    bool wait_until(const std::string& condition, int wait_ms = BROWSER_WAIT_MS) {
        const std::string test = "(() => { try { return !!(" + condition + "); } catch (e) { return false; } })";
        return eval(
                   "new Promise((resolve) => {"
                   "  const test = " +
                   test +
                   ";"
                   "  if (test()) return resolve(true);"
                   "  const seen = new MutationObserver(() => { if (test()) { seen.disconnect(); resolve(true); } });"
                   "  seen.observe(document, {subtree: true, childList: true, characterData: true, attributes: true});"
                   "  setTimeout(() => { seen.disconnect(); resolve(test()); }, " +
                   std::to_string(wait_ms) +
                   ");"
                   "})")
            .asBool();
    }

    std::string text(const std::string& selector) {
        return eval("(document.querySelector(" + json_text(selector) + ") || {}).textContent || ''").asString();
    }

    // The fonts the browser drew the text of the first element the selector
    // finds with, and how many glyphs each: {family: glyphs}.
    std::map<std::string, int> fonts_of(const std::string& selector) {
        // Laid out, with the fonts it needs loaded.
        eval("document.fonts.ready.then(() => document.querySelector(" + json_text(selector) +
             ").getBoundingClientRect().width)");
        call("DOM.enable");
        call("CSS.enable");
        Json::Value q;
        q["nodeId"] = call("DOM.getDocument")["root"]["nodeId"];
        q["selector"] = selector;
        Json::Value node;
        node["nodeId"] = call("DOM.querySelector", q)["nodeId"];
        std::map<std::string, int> fonts;
        const Json::Value got = call("CSS.getPlatformFontsForNode", node);
        for (const Json::Value& f : got["fonts"]) fonts[f["familyName"].asString()] += f["glyphCount"].asInt();
        return fonts;
    }

    // A PNG of what the tab shows.
    std::string screenshot() {
        Json::Value m;
        m["format"] = "png";
        return call("Page.captureScreenshot", m)["data"].asString();
    }

    // Every URL the tab asked for, in order.
    std::vector<std::string> requests() const {
        std::vector<std::string> urls;
        for (const Json::Value& e : b_.events)
            if (e["sessionId"].asString() == session_ && e["method"] == "Network.requestWillBeSent")
                urls.push_back(e["params"]["request"]["url"].asString());
        return urls;
    }

private:
    Browser& b_;
    std::string session_;
};

inline std::string from_base64(const std::string& s) {
    static const std::string digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    unsigned bits = 0;
    int have = 0;
    for (const char c : s) {
        const size_t d = digits.find(c);
        if (d == std::string::npos) continue;  // padding
        bits = (bits << 6) | unsigned(d);
        have += 6;
        if (have >= 8) {
            have -= 8;
            out += char((bits >> have) & 0xFF);
        }
    }
    return out;
}

// What a screenshot (base64 PNG) holds, decoded by the browser itself in a
// tab of its own: its size, how many colours, and the share of pixels
// that differ from the commonest colour.
struct ScreenshotLook {
    int width = 0, height = 0, colours = 0;
    double marked = 0;
};

inline ScreenshotLook look_at(Browser& b, const std::string& png_base64) {
    Tab blank(b, 200, 200);
    const Json::Value v = blank.eval(
        "(async () => {"
        "  const img = new Image(); img.src = 'data:image/png;base64," +
        png_base64 +
        "'; await img.decode();"
        "  const c = document.createElement('canvas'); c.width = img.width; c.height = img.height;"
        "  const g = c.getContext('2d'); g.drawImage(img, 0, 0);"
        "  const px = g.getImageData(0, 0, c.width, c.height).data, count = new Map();"
        "  for (let i = 0; i < px.length; i += 4) {"
        "    const k = (px[i] << 16) | (px[i + 1] << 8) | px[i + 2]; count.set(k, (count.get(k) || 0) + 1); }"
        "  let most = 0; for (const n of count.values()) most = Math.max(most, n);"
        "  return {width: c.width, height: c.height, colours: count.size, marked: 1 - most / (px.length / 4)};"
        "})()");
    return {v["width"].asInt(), v["height"].asInt(), v["colours"].asInt(), v["marked"].asDouble()};
}

}  // namespace
