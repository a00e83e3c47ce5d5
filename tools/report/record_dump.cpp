#include "tools/common/counted.h"
#include "tools/report/record_dump.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <utility>
#include <vector>

#include "tools/common/files.h"
#include "tools/common/json_in.h"
#include "tools/common/json_out.h"

namespace tzv58::tool {
namespace {

// A row's values as the record dump shows them: every value of an array,
// reserved bytes in hex.
std::string dump_value(const RecordView& v, const value_row& r, size_t base) {
    if (r.kind == value_kind::reserved || r.kind == value_kind::time) return json_quote(v.hex(r, base));
    if (!r.array) return v.text(r, base);
    std::string s = "[";
    for (int k = 0; k < r.capacity; ++k) s += (k ? "," : "") + v.text(r, base, k);
    return s + "]";
}

using Members = std::vector<std::pair<std::string, std::string>>;

Members members(const RecordView& v, list<value_row> rows, size_t base, bool all_elements, bool pretty);

// A group's elements: all it has room for, or those reported; one per line
// when pretty.
std::string elements(const RecordView& v, const value_group& g, bool all_elements, bool pretty) {
    const int n = all_elements ? g.capacity : v.held(g);
    std::string s = "[";
    for (int i = 0; i < n; ++i) {
        JsonLine j;
        for (const auto& m : members(v, g.rows, RecordView::element(g, i), all_elements, false))
            j.raw(m.first.c_str(), m.second);
        s += std::string(i ? "," : "") + (pretty ? "\n    " : "") + j.text();
    }
    return s + (pretty && n ? "\n  ]" : "]");
}

// The rows of the record (or of one element) as an object's members; an
// array the record has no room for is left out.
Members members(const RecordView& v, list<value_row> rows, size_t base, bool all_elements, bool pretty) {
    Members out;
    for (const value_row& r : rows) {
        if (r.kind == value_kind::group) {
            out.emplace_back(r.name, elements(v, *r.group, all_elements, pretty));
            continue;
        }
        if (r.array && r.capacity == 0) continue;
        out.emplace_back(r.name, dump_value(v, r, base));
        if (r.kind == value_kind::time)
            out.emplace_back(std::string(r.name) + "_text", json_quote(time_text(v.bytes() + base + r.offset, ' ')));
    }
    return out;
}

std::string object(const RecordView& v, bool all_elements, bool pretty) {
    std::string s = "{";
    bool first = true;
    for (const auto& m : members(v, v.table().rows, 0, all_elements, pretty)) {
        s += std::string(first ? "" : ",") + (pretty ? "\n  " : "") + json_quote(m.first) + (pretty ? ": " : ":") +
             m.second;
        first = false;
    }
    return s + (pretty ? "\n}\n" : "}");
}

}  // namespace

namespace {

// Longer than any event line the host writes (a publish with its values).
constexpr size_t MAX_EVENT_LINE = 1u << 16;

// Enough for a record's raw bytes, or their hex text with blanks between.
size_t max_image_text(size_t size) { return std::max<size_t>(8192, 4 * size); }

std::string image_words(size_t size) { return std::to_string(size) + "-byte record image"; }

// One event line: false when it is not one; `image` set when it carries a record.
bool event_line(size_t size, const std::string& line, const std::string& where, std::vector<uint8_t>& image,
                bool& has_record, std::string& err) {
    has_record = false;
    Json::Value event;
    std::string why;
    if (!parse_json_strict(line, event, why) || !event.isObject()) {
        err = where + ": not an event line";
        return false;
    }
    const std::string kind = event["event"].isString() ? event["event"].asString() : "";
    if (kind != "publish" && kind != "history") return true;
    if (!event["record"].isString() || !parse_hex(event["record"].asString(), image) || image.size() != size) {
        err = where + ": record is not a " + std::to_string(size) + "-byte image in hex";
        return false;
    }
    has_record = true;
    return true;
}

bool too_long(const std::string& name, int line_no, std::string& err) {
    err = name + ":" + std::to_string(line_no) + ": longer than any event line (" + std::to_string(MAX_EVENT_LINE) +
          " bytes)";
    return false;
}

// Event lines, each handed on as it is read; text holds what was read so far.
bool event_records(const model_descriptor& model, InputFile& in, std::string text, const RecordSink& each,
                   std::string& err) {
    int line_no = 0, records = 0;
    std::vector<char> buf(65536);
    std::vector<uint8_t> image;
    for (bool end = false; !end;) {
        const long n = in.read(buf.data(), buf.size(), err);
        if (n < 0) return false;
        end = n == 0;
        text.append(buf.data(), size_t(n));
        size_t start = 0;
        for (size_t nl; (nl = text.find('\n', start)) != std::string::npos || (end && start < text.size());) {
            if (nl == std::string::npos) nl = text.size();
            const std::string line = text.substr(start, nl - start);
            start = nl + 1;
            const std::string where = in.name() + ":" + std::to_string(++line_no);
            if (line.size() > MAX_EVENT_LINE) return too_long(in.name(), line_no, err);
            if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
            bool has_record = false;
            if (!event_line(model.record_size, line, where, image, has_record, err)) return false;
            if (has_record) each(RecordView(model, image.data()), where);
            records += has_record;
        }
        text.erase(0, start < text.size() ? start : text.size());
        if (text.size() > MAX_EVENT_LINE) return too_long(in.name(), line_no + 1, err);
    }
    if (records == 0) err = in.name() + " holds no publish or history event";
    return records > 0;
}

// One image, raw or in hex: what can be one is read, and no more.
bool image_record(const model_descriptor& model, InputFile& in, std::string text, const RecordSink& each,
                  std::string& err) {
    const size_t size = model.record_size, most = max_image_text(size);
    char buf[4096];
    for (long n; text.size() <= most && (n = in.read(buf, sizeof buf, err)) != 0;) {
        if (n < 0) return false;
        text.append(buf, size_t(n));
    }
    if (text.size() > most) {
        err = in.name() + " holds more than " + std::to_string(most) + " bytes: not a " + image_words(size) +
              ", nor its hex text (and not event lines)";
        return false;
    }
    std::vector<uint8_t> image;
    // A raw image holds zero bytes (its reserved fields); text never does.
    const bool raw = text.size() == size && text.find('\0') != std::string::npos;
    if (raw || !parse_hex(text, image) || image.empty()) image.assign(text.begin(), text.end());
    if (image.size() != size) {
        err = in.name() + " holds " + counted(image.size(), "byte", "bytes") + ", not a " + image_words(size);
        return false;
    }
    each(RecordView(model, image.data()), in.name());
    return true;
}

}  // namespace

bool read_records(const model_descriptor& model, const std::string& path, const RecordSink& each, std::string& err) {
    InputFile in;
    if (!in.open(path, true, SIZE_MAX, err)) return false;
    // What the input is, from its first bytes: a zero byte is a raw image's
    // (text never holds one), a '{' begins event lines, anything else is hex.
    const size_t size = model.record_size;
    std::string head;
    std::vector<char> buf(size + 1);
    for (long n; head.size() <= size && (n = in.read(buf.data(), buf.size() - head.size(), err)) != 0;) {
        if (n < 0) return false;
        head.append(buf.data(), size_t(n));
    }
    const size_t first = head.find_first_not_of(" \t\r\n");
    if (head.find('\0') == std::string::npos && first != std::string::npos && head[first] == '{')
        return event_records(model, in, std::move(head), each, err);
    return image_record(model, in, std::move(head), each, err);
}

std::string record_doubts(const RecordView& v) {
    std::string said;
    auto beyond = [&](const std::string& name, int count, int held) {
        if (count > held)
            said +=
                (said.empty() ? "" : ", ") + name + " " + std::to_string(count) + " exceeds " + std::to_string(held);
    };
    bool reserved = false;
    // A count the layout holds fewer of: a group's first, then each array
    // whose larger count leaves it as an older reply left it.
    auto arrays = [&](list<value_row> rows, size_t base, const std::string& at) {
        for (const value_row& r : rows) {
            if (r.kind == value_kind::reserved) {
                const uint8_t* b = v.bytes() + base + r.offset;
                reserved = reserved || std::any_of(b, b + r.capacity, [](uint8_t x) { return x != 0; });
            }
            if (r.held != held_rule::whole) continue;
            const value_row* count = nullptr;
            for (const value_row& c : rows)
                if (c.offset == r.count_at && c.kind == value_kind::count) count = &c;
            if (count) beyond(at + count->name, v.count(r, base), r.capacity);
        }
    };
    const value_table& t = v.table();
    for (const value_row& r : t.rows) {
        if (r.kind != value_kind::group || r.group->count_at < 0) continue;
        for (const value_row& c : t.rows)
            if (c.kind == value_kind::count && c.offset == r.group->count_at)
                beyond(c.name, v.reported(*r.group), r.group->capacity);
    }
    arrays(t.rows, 0, "");
    for (const value_row& r : t.rows) {
        if (r.kind != value_kind::group) continue;
        const value_group& g = *r.group;
        for (int i = 0; i < g.capacity; ++i)
            arrays(g.rows, RecordView::element(g, i), std::string(g.name) + "[" + std::to_string(i) + "].");
    }
    if (reserved) return said + (said.empty() ? "" : ", ") + "reserved bytes hold data: not a record of this device";
    return said.empty() ? "" : said + ": the record holds less than the power system reported";
}

std::string record_json(const RecordView& v) { return object(v, true, true); }

std::string record_values_json(const RecordView& v) { return object(v, false, false); }

}  // namespace tzv58::tool
