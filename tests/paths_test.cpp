// Telling whether two options name one file, before any is opened; and
// texts from a file or the line made fit for a terminal, JSON and a
// spreadsheet.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/common/json_out.h"
#include "tools/common/paths.h"
#include "tools/common/text_guard.h"

namespace tzv58::tool {
namespace {

// A fresh folder, gone at the end of the test program.
std::string folder() {
    static struct Made {
        ~Made() {
            std::error_code ignored;
            for (const std::string& d : dirs) std::filesystem::remove_all(d, ignored);
        }
        std::vector<std::string> dirs;
    } made;
    char tmpl[] = "/tmp/tzv58-paths-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    if (!dir) throw std::runtime_error("mkdtemp failed");
    made.dirs.push_back(dir);
    return dir;
}

bool distinct(const std::string& a, const std::string& b, std::string* err = nullptr) {
    std::string why;
    const bool ok = paths_distinct({{"option --a", a}, {"option --b", b}}, why);
    if (err) *err = why;
    return ok;
}

TEST(Paths, OneFileUnderTwoNamesIsOneFile) {
    const std::string dir = folder(), file = dir + "/h.db";
    std::ofstream(file) << "x";
    ASSERT_EQ(::link(file.c_str(), (dir + "/hard.db").c_str()), 0);
    ASSERT_EQ(::symlink(file.c_str(), (dir + "/soft.db").c_str()), 0);
    for (const std::string& other : {file, dir + "/./h.db", dir + "/hard.db", dir + "/soft.db"})
        EXPECT_FALSE(distinct(file, other)) << other;
    std::string err;
    EXPECT_FALSE(distinct(file, dir + "/hard.db", &err));
    EXPECT_EQ(err, "option --b names " + dir + "/hard.db, the same file as option --a: nothing was opened");
    EXPECT_TRUE(distinct(file, dir + "/other.db"));
}

TEST(Paths, FilesNotThereYetAreTheSameByFolderAndName) {
    const std::string dir = folder();
    ASSERT_EQ(::mkdir((dir + "/sub").c_str(), 0700), 0);
    EXPECT_FALSE(distinct(dir + "/new.db", dir + "/sub/../new.db"));
    EXPECT_TRUE(distinct(dir + "/new.db", dir + "/sub/new.db"));
    EXPECT_TRUE(distinct(dir + "/new.db", dir + "/new.db-wal"));
}

TEST(Paths, AFileOnlyReadMayBeNamedTwice) {
    const std::string dir = folder(), file = dir + "/plant.json";
    std::ofstream(file) << "{}";
    std::string err;
    EXPECT_TRUE(paths_distinct({{"option --config", file, false}, {"option --plant", file, false}}, err));
    EXPECT_FALSE(paths_distinct({{"option --plant", file, false}, {"option --events", file}}, err));
    EXPECT_EQ(err, "option --events names " + file + ", the same file as option --plant: nothing was opened");
}

TEST(Paths, StreamsAndDevicesMayBeNamedTwice) {
    EXPECT_TRUE(distinct("/dev/null", "/dev/null"));
    EXPECT_TRUE(distinct("-", "-"));
    EXPECT_EQ(path_kind("/dev/null"), PathKind::other);
    EXPECT_EQ(path_kind("/tmp"), PathKind::folder);
    EXPECT_EQ(path_kind("/no/such/file"), PathKind::absent);
}

TEST(TextGuard, NoControlCharacterReachesATerminal) {
    // A window title, a cleared screen, a C1 escape, a byte that is no UTF-8.
    EXPECT_EQ(shown("a\x1B]0;owned\x07"
                    "b\x1B[2J\xC2\x9B"
                    "1m\x7F\xFF"),
              "a\\x1B]0;owned\\x07b\\x1B[2J\\xC2\\x9B1m\\x7F\\xFF");
    EXPECT_EQ(shown("one\ntwo\tthree"), "one\\x0Atwo\\x09three");
    EXPECT_EQ(shown("one\ntwo\tthree", true), "one\ntwo\tthree");
    EXPECT_EQ(shown("输入电源中断告警 \xC2\xB0"
                    "C"),
              "输入电源中断告警 \xC2\xB0"
              "C");
    // Overlong, surrogate, past U+10FFFF, cut short.
    EXPECT_EQ(shown("\xC0\xAF\xED\xA0\x80\xF4\x90\x80\x80\xE4\xB8"),
              "\\xC0\\xAF\\xED\\xA0\\x80\\xF4\\x90\\x80\\x80\\xE4\\xB8");
    EXPECT_EQ(valid_utf8("ok \xFF 告警\xE4\xB8"), "ok \xEF\xBF\xBD 告警\xEF\xBF\xBD\xEF\xBF\xBD");
    // Bidirectional controls reorder what a line shows (U+202E, U+2066);
    // U+202F next to them is a space.
    EXPECT_EQ(shown("a\xE2\x80\xAE"
                    "b\xE2\x81\xA6"
                    "c\xE2\x80\xAF"),
              "a\\xE2\\x80\\xAEb\\xE2\\x81\\xA6c\xE2\x80\xAF");
    // JSON stays valid UTF-8 and is safe on a terminal: the same characters
    // as \u escapes, the rest as it is.
    EXPECT_EQ(json_quote("\x1B\xC2\x9B"
                         "1m\x7F\xE2\x80\xAE 告警\xC2\xA0"),
              "\"\\u001b\\u009b1m\\u007f\\u202e 告警\xC2\xA0\"");
    // A JSON text from a server: the same escapes inside its strings, its
    // layout kept.
    EXPECT_EQ(json_shown("{\"a\": \"\xC2\x9B\xFF\xE2\x80\xAE告警\",\n\t\"b\": 1}"),
              "{\"a\": \"\\u009b\xEF\xBF\xBD\\u202e告警\",\n\t\"b\": 1}");
}

TEST(TextGuard, ASpreadsheetTakesNoCellForAFormulaButANumberStaysANumber) {
    for (const char* formula : {"=HYPERLINK(\"http://x\")", "+1+cmd", "-2+3", "@SUM(A1)", "\t=1", "-", "-inf", "-0x10"})
        EXPECT_EQ(spreadsheet_text(formula), std::string("'") + formula) << formula;
    for (const char* kept : {"-0.5", "+53.5", "-1e-3", "53.5", "PowerOff", "", "a=b"})
        EXPECT_EQ(spreadsheet_text(kept), kept) << kept;
}

}  // namespace
}  // namespace tzv58::tool
