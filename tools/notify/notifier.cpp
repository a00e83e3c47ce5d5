#include "tools/notify/notifier.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/report/summary.h"

namespace tzv58::tool {
namespace {

// The variables every notice carries.
std::vector<std::string> common_env(const char* event, const std::string& time, const NoticeSource& from) {
    return {std::string("TZV58_EVENT=") + event, "TZV58_TIME=" + time, "TZV58_PORT=" + from.port,
            "TZV58_ADDRESS=" + std::to_string(from.address), "TZV58_DEVICE=" + from.device};
}

// A file the kernel can run by itself: a script with its #! line, or a
// compiled program. Anything else would need a shell, and none is used.
bool runnable(const std::string& path, std::string& err) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    unsigned char head[4] = {};
    const ssize_t n = fd >= 0 ? ::read(fd, head, sizeof head) : -1;
    if (fd >= 0) ::close(fd);
    if (n < 0) {
        err = "option --on-event: " + path + ": " + std::strerror(errno);
        return false;
    }
    if ((n >= 2 && head[0] == '#' && head[1] == '!') || (n == 4 && std::memcmp(head, "\177ELF", 4) == 0)) return true;
    err = "option --on-event: " + path +
          ": neither a script starting with #! nor a compiled program (it is run "
          "without a shell)";
    return false;
}

}  // namespace

Notice alarm_notice(const AlarmTransition& t, const NoticeSource& from) {
    Notice n;
    const char* event = t.raised ? "raised" : "cleared";
    // The element's name too: the modules' alarms share their key and id.
    n.label = std::string(event) + " " + t.key + (t.key == t.id ? "" : " " + t.id) +
              (t.text2.empty() ? "" : " (" + t.text2 + ")");
    n.line = transition_line(t);
    n.env = common_env(event, t.time, from);
    n.env.insert(n.env.end(),
                 {"TZV58_LEVEL=" + std::to_string(t.level), std::string("TZV58_LEVEL_NAME=") + level_name(t.level),
                  "TZV58_KEY=" + t.key, "TZV58_ID=" + t.id, "TZV58_TEXT=" + t.text1 + " / " + t.text2,
                  "TZV58_TEXT1=" + t.text1, "TZV58_TEXT2=" + t.text2});
    return n;
}

Notice link_lost_notice(const char* cause, const std::string& time, const NoticeSource& from) {
    Notice n;
    const std::string what = std::string("link lost (") + cause + ")";
    n.label = "link-lost (" + std::string(cause) + ")";
    n.line = link_lost_line(cause, time);
    n.env = common_env("link-lost", time, from);
    n.env.insert(n.env.end(), {"TZV58_LEVEL=", "TZV58_LEVEL_NAME=", "TZV58_KEY=link", "TZV58_ID=", "TZV58_TEXT=" + what,
                               std::string("TZV58_CAUSE=") + cause});
    return n;
}

Notice link_restored_notice(long long down_s, const std::string& time, const NoticeSource& from) {
    Notice n;
    n.label = "link-restored";
    n.line = link_restored_line(down_s);
    n.env = common_env("link-restored", time, from);
    n.env.insert(n.env.end(), {"TZV58_LEVEL=", "TZV58_LEVEL_NAME=", "TZV58_KEY=link",
                               "TZV58_ID=", "TZV58_TEXT=" + n.line, "TZV58_DOWN_SECONDS=" + std::to_string(down_s)});
    return n;
}

Notice link_silent_notice(const std::string& since, const std::string& time, const NoticeSource& from) {
    Notice n;
    n.label = "link-silent";
    n.line = link_silent_line(from.address, since, time);
    n.env = common_env("link-silent", time, from);
    n.env.insert(n.env.end(), {"TZV58_LEVEL=", "TZV58_LEVEL_NAME=", "TZV58_KEY=link",
                               "TZV58_ID=", "TZV58_TEXT=" + n.line, "TZV58_SINCE=" + since});
    return n;
}

Notice link_answers_notice(long long silent_s, const std::string& time, const NoticeSource& from) {
    Notice n;
    n.label = "link-restored";
    n.line = link_answers_line(silent_s);
    n.env = common_env("link-restored", time, from);
    n.env.insert(n.env.end(), {"TZV58_LEVEL=", "TZV58_LEVEL_NAME=", "TZV58_KEY=link", "TZV58_ID=",
                               "TZV58_TEXT=" + n.line, "TZV58_SILENT_SECONDS=" + std::to_string(silent_s)});
    return n;
}

void Notifier::on_alarm(int level, const std::string& key, const std::string& id, const std::string& text1,
                        const std::string& text2, bool active, unsigned short) {
    if (!alarms_.change(key, id, text1, text2, active)) return;
    runner_->post(alarm_notice({iso_time(clock_->local_time()), active, level, key, id, text1, text2}, from_));
}

void Notifier::link_lost(const char* cause) {
    runner_->post(link_lost_notice(cause, iso_time(clock_->local_time()), from_));
}

void Notifier::link_restored(long long down_s) {
    runner_->post(link_restored_notice(down_s, iso_time(clock_->local_time()), from_));
}

void Notifier::link_silent(int, const std::string& since) {
    runner_->post(link_silent_notice(since, iso_time(clock_->local_time()), from_));
}

void Notifier::link_answers(long long silent_s) {
    runner_->post(link_answers_notice(silent_s, iso_time(clock_->local_time()), from_));
}

bool notify_options(const CommandLine& cl, NotifyOptions& options, std::string& err) {
    if (!cl.has("--on-event")) return true;
    if (!find_program(cl.get("--on-event"), std::getenv("PATH"), options.program, err) ||
        !runnable(options.program, err))
        return false;
    const char* timeout = std::getenv("TZV58_ON_EVENT_TIMEOUT_MS");
    if (!timeout) return true;
    long long ms = 0;
    if (!parse_whole(timeout, ms) || ms < 100 || ms > 30000) {
        err = std::string("TZV58_ON_EVENT_TIMEOUT_MS: '") + timeout + "' is not a whole number of ms from 100 to 30000";
        return false;
    }
    options.limits.timeout_ms = int(ms);
    return true;
}

}  // namespace tzv58::tool
