#include "tools/history/trend.h"

#include <algorithm>

namespace tzv58::tool {

void RoundIntervals::add(long long t) {
    if (any_) ++steps_[std::min(std::max(t - last_, 0LL), 3600LL)];
    any_ = true;
    last_ = t;
    ++count_;
}

long long RoundIntervals::typical() const {
    if (count_ < 2) return 0;
    size_t seen = 0;
    for (const auto& s : steps_) {
        seen += s.second;
        if (2 * seen >= count_ - 1) return std::max(s.first, 1LL);  // times have whole seconds
    }
    return 1;
}

TrendReducer::TrendReducer(long long t0, long long t1, size_t max_points)
    : t0_(t0), span_(std::max(t1 - t0, 0LL) + 1), buckets_(std::max<size_t>(max_points / 2, 1)) {}

size_t TrendReducer::bucket_of(long long t) const {
    const long long off = std::min(std::max(t - t0_, 0LL), span_ - 1);
    // In long double: a span of centuries times a thousand buckets overflows 64 bits.
    return size_t((long double)off * (long double)buckets_.size() / (long double)span_);
}

void TrendReducer::add(long long t, double v) {
    if (std::isnan(v)) return;
    Bucket& b = buckets_[bucket_of(t)];
    const TrendSample s{t, v};
    if (b.n++ == 0) b.first = b.min = b.max = s;
    if (v < b.min.v) b.min = s;
    if (v > b.max.v) b.max = s;
    b.last = s;
    lo_ = values_ ? std::min(lo_, v) : v;
    hi_ = values_ ? std::max(hi_, v) : v;
    ++values_;
}

TrendLine TrendReducer::finish(const std::string& name, long long gap) const {
    TrendLine line;
    line.name = name;
    line.lo = lo_;
    line.hi = hi_;
    line.values = values_;
    std::vector<TrendSample> run;
    const auto break_line = [&] {
        if (!run.empty()) line.runs.push_back(std::move(run));
        run.clear();
    };
    const auto is_gap = [&](long long from, long long to) { return gap > 0 && to - from > gap; };
    long long last_t = 0;
    for (const Bucket& b : buckets_) {
        if (b.n == 0) continue;
        if (!run.empty() && is_gap(last_t, b.first.t)) break_line();
        if (b.n <= 2) {
            run.push_back(b.first);
            if (b.n == 2 && is_gap(b.first.t, b.last.t)) break_line();
            if (b.n == 2) run.push_back(b.last);
        } else {
            line.reduced = true;
            const bool min_first = b.min.t <= b.max.t;
            run.push_back(min_first ? b.min : b.max);
            if (b.min.t != b.max.t || b.min.v != b.max.v) run.push_back(min_first ? b.max : b.min);
        }
        last_t = b.last.t;
    }
    break_line();
    return line;
}

}  // namespace tzv58::tool
