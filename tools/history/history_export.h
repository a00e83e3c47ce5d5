// The history command's text output: the records, or the alarm transitions,
// as a table for people, as CSV (RFC 4180: CRLF, header row, quoted fields
// where needed) or as JSON lines; empty fields and null for no value. Texts
// come from a file anyone may have written: the table (and CSV on a
// terminal) shows control characters as \xNN, a CSV cell that a spreadsheet
// would take for a formula is quoted as text, JSON lines carry valid UTF-8.
#pragma once

#include <cstdio>
#include <string>
#include <utility>

#include "tools/history/history_db.h"
#include "tools/history/history_query.h"

namespace tzv58::tool {

// Standard output or a file, every write checked: the first failed write
// stops the output (a full disk, /dev/full, a reader gone).
class Output {
public:
    Output(FILE* f, std::string name);
    bool put(const std::string& s);
    bool failed() const { return failed_; }
    // A terminal: texts from the file are shown without control characters.
    bool terminal() const { return terminal_; }
    // Flushes. 0, or 1 after one line on stderr naming the output.
    int finish();

private:
    FILE* f_;
    std::string name_;
    bool failed_ = false;
    bool terminal_ = false;
    int errno_ = 0;
};

enum class ExportFormat { table, csv, jsonl };

// 0; 1 when the output failed; 2 when the file could not be read (one line each).
int print_records(HistoryDb& db, const TimeRange& range, ExportFormat format, Output& out);
int print_alarms(HistoryDb& db, const TimeRange& range, ExportFormat format, Output& out);

}  // namespace tzv58::tool
