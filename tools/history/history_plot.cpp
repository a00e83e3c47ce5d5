#include "tools/common/counted.h"
#include "tools/history/history_plot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "tools/common/exit_status.h"
#include "tools/common/paths.h"
#include "tools/history/history_export.h"
#include "tools/history/iso_time.h"
#include "tools/history/trend_svg.h"

namespace tzv58::tool {
namespace {

// The first bytes of a file, as many as a chart's head holds.
std::string file_head(const std::string& path, size_t n, bool& empty) {
    std::string head(n, '\0');
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    ssize_t got = fd < 0 ? -1 : ::read(fd, &head[0], n);
    struct stat st {};
    empty = fd >= 0 && ::fstat(fd, &st) == 0 && st.st_size == 0;
    if (fd >= 0) ::close(fd);
    head.resize(got > 0 ? size_t(got) : 0);
    return head;
}

bool write_all(int fd, const std::string& data) {
    for (size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// Writes a temporary file beside the target (0666 less the umask) and
// renames it over the target: the target is never left half written.
bool replace_file(const std::string& target, const std::string& data, std::string& err) {
    std::string temp = target + ".XXXXXX";
    const int fd = ::mkstemp(&temp[0]);
    if (fd < 0) {
        err = std::strerror(errno);
        return false;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    bool ok = ::fchmod(fd, 0666 & ~mask) == 0 && write_all(fd, data);
    const int e = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temp.c_str(), target.c_str()) == 0) return true;
    err = std::strerror(ok ? errno : e);
    ::unlink(temp.c_str());
    return false;
}

}  // namespace

bool plot_target_ok(const std::string& target, bool force, std::string& err) {
    if (target == "-") return true;
    int nofollow = 0;
    if (!check_shared_folder(target, nofollow, err)) {
        err = "option --plot: " + err;
        return false;
    }
    switch (path_kind(target)) {
    case PathKind::absent:
        return true;
    case PathKind::folder:
        err = "option --plot: " + target + " is a folder";
        return false;
    case PathKind::other:
        err = "option --plot: " + target + " is not a regular file (a device, a FIFO or a socket)";
        return false;
    case PathKind::regular:
        break;
    }
    bool empty = false;
    const std::string head = file_head(target, std::strlen(TREND_SVG_HEAD), empty);
    if (force || empty || head == TREND_SVG_HEAD) return true;
    err = "option --plot: " + target + " is there and is not a trend written by this program; --force writes over it";
    return false;
}

int write_plot(HistoryDb& db, const TimeRange& range, const std::string& target) {
    Trend trend;
    std::string err;
    // The chart ends now, or at --until when a person gives one.
    long long now = ::time(nullptr);
    if (!range.until.empty() && utc_seconds(range.until, now)) --now;
    if (!read_trend(db, range, now, {"dc_v", "load_i"}, TREND_POINTS, trend, err))
        return usage_error(db.path() + ": " + err);
    const std::string svg = trend_svg(trend);
    if (target == "-") {
        Output out(stdout, "standard output");
        out.put(svg);
        return out.finish();
    }
    if (!replace_file(target, svg, err)) return failure("option --plot: cannot write " + target + ": " + err);
    Output out(stdout, "standard output");
    std::string later;
    if (trend.after_now > 0)
        later = " (" + std::to_string(trend.after_now) + " dated after now left out: --until takes them)";
    out.put(target + ": trend of " + counted(trend.rows, "record", "records") + later + "\n");
    return out.finish();
}

}  // namespace tzv58::tool
