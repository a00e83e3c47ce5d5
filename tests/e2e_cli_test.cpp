// The host program's command line: help, and one clear line with exit
// status 2 for every mistake, never a crash.
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>

#include "e2e_support.h"

namespace {

TEST(Cli, HelpForTheProgramAndEachCommand) {
    const HostRun top = run_host({"--help"});
    EXPECT_EQ(top.status, 0);
    EXPECT_NE(top.out.find("tzv58-host simulate"), std::string::npos);
    EXPECT_NE(top.out.find("Exit status: 0 done; 1 the device or the line did not do it"), std::string::npos);
    EXPECT_NE(top.out.find("2 bad input"), std::string::npos);
    for (const char* cmd : {"simulate", "poll", "replay", "record", "plant"}) {
        const HostRun r = run_host({cmd, "--help"});
        EXPECT_EQ(r.status, 0) << cmd;
        EXPECT_EQ(r.out.find(std::string("usage: tzv58-host ") + cmd), 0u) << r.out;
    }
    // Every rate --baud takes is listed where it is documented.
    for (const char* cmd : {"simulate", "poll"})
        EXPECT_NE(run_host({cmd, "--help"})
                      .out.find("--baud N         1200, 2400, 4800, 9600, 19200, 38400, 57600 or 115200"),
                  std::string::npos)
            << cmd;
    // Every option is listed before the closing paragraphs: once a line
    // that is no option's (but a heading) follows the options, none comes.
    for (const char* cmd : {"simulate", "poll", "replay", "record", "history", "get", "control", "plant"}) {
        const std::string help = run_host({cmd, "--help"}).out;
        bool options = false, closed = false;
        for (size_t at = help.find("\n\n"), end; (end = help.find('\n', at + 1)) != std::string::npos; at = end) {
            const std::string line = help.substr(at + 1, end - at - 1);
            const bool option = line.rfind("  --", 0) == 0;
            EXPECT_FALSE(option && closed) << cmd << ": " << line << " after the closing paragraph";
            options = options || option;
            closed = closed || (options && !line.empty() && line[0] != ' ' && line.back() != ':');
        }
    }
    EXPECT_EQ(run_host({}).status, 2);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"--version"}, {"simulate", "--version"}}) {
        const HostRun v = run_host(args);
        EXPECT_EQ(v.status, 0);
        EXPECT_EQ(v.out.rfind("tzv58-host ", 0), 0u) << v.out;
        EXPECT_EQ(std::count(v.out.begin(), v.out.end(), '\n'), 1) << v.out;
    }
}

// A command's usage lines are the program's: each line of its --help's usage
// (after "usage: " or as many blanks) stands in the program's --help.
TEST(Cli, EachCommandsUsageIsInTheProgramsHelp) {
    const std::string top = run_host({"--help"}).out;
    for (const char* cmd : {"simulate", "poll", "replay", "record", "history", "get", "control", "plant"}) {
        const std::string help = run_host({cmd, "--help"}).out;
        const std::string usage = help.substr(0, help.find("\n\n") + 1);
        ASSERT_EQ(usage.rfind("usage: tzv58-host ", 0), 0u) << usage;
        for (size_t at = 0, end; (end = usage.find('\n', at)) != std::string::npos; at = end + 1)
            EXPECT_NE(top.find("\n  " + usage.substr(at + 7, end - at - 7)), std::string::npos) << cmd << ": " << usage;
    }
}

// Every bad input, in every file and option: status 2, one line on stderr
// naming the file and the member or option, nothing on standard output.
TEST(Cli, EveryBadInputGivesOneLineNamingItAndNothingElse) {
    const std::string dir = scratch_dir();
    const std::string plant = dir + "/plant.json";
    auto plant_file = [&](const std::string& name, const std::string& json) {
        spit(dir + "/" + name, json);
        return dir + "/" + name;
    };
    const auto modules = [](int n) {
        std::string list = "{\"rectifiers\": {\"modules\": [{}";
        for (int i = 1; i < n; ++i) list += ", {}";
        return list + "]}}";
    };
    spit(dir + "/bad.json", "{\"appSetting\": ");
    spit(dir + "/empty.script", "");
    spit(dir + "/wide.script", "@control 4294967596 4 hex:00\n");
    spit(dir + "/hex.script", "@refresh\n@clock 0x10\n");
    spit(dir + "/short.bin", std::string(1256, '\x01'));
    spit(dir + "/no-records.jsonl", "{\"event\":\"refresh\",\"result\":1}\n");
    struct Case {
        std::vector<std::string> args;
        std::string says;  // part of the one line
    };
    const std::vector<Case> cases = {
        // the command line
        {{"frobnicate"}, "unknown command"},
        {{"simulate", "--bogus"}, "unknown option --bogus"},
        {{"simulate", "--rounds", "many"}, "--rounds"},
        {{"simulate", "--rounds"}, "--rounds needs a value"},
        {{"simulate", "--rounds", "2", "--rounds", "3"}, "--rounds is given twice"},
        {{"simulate", "--fast=yes"}, "--fast takes no value"},
        {{"simulate", "--baud", "14400"}, "--baud needs one of 1200, 2400"},
        {{"poll", "--port", "/dev/null", "--baud", "300"}, "--baud"},
        {{"plant", "--link", dir + "/port", "--baud", "1201"},
         "option --baud needs one of 1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, not '1201'"},
        {{"poll", "--port", "/dev/null", "--fast"}, "--fast is for simulate only"},
        {{"poll"}, "--port"},
        {{"simulate", "--debug", "--diag", dir + "/diag"}, "--debug and --diag"},
        {{"simulate", "--diag", dir}, "--diag"},
        {{"simulate", "--events", dir + "/no/such/folder/events"}, "--events"},
        {{"simulate", "--events", "-", "--summary"}, "--summary and --events -"},
        // a standard descriptor named as a file (standard output is "-" to --events and --plot)
        {{"simulate", "--events", "/dev/stderr"},
         "option --events: /dev/stderr is this program's standard error: give -"},
        {{"simulate", "--diag", "/dev/stdout"}, "option --diag: /dev/stdout is this program's standard output: give a"},
        {{"simulate", "--history", "/proc/self/fd/1"}, "option --history: /proc/self/fd/1 is this program's standard"},
        {{"simulate", "--faults", "drop=2"}, "rate from 0 to 1"},
        {{"simulate", "--faults", "lightning=0.1"}, "unknown fault"},
        {{"simulate", "--faults", "drop=0.1,drop=0.2"}, "option --faults: fault 'drop' is given twice"},
        // one number syntax: decimal digits, in options and script lines
        {{"simulate", "--rounds", "0x10"}, "option --rounds needs a whole number from 1 to"},
        {{"replay", "--script", dir + "/hex.script"}, "hex.script:2:"},
        {{"plant"}, "--link"},
        {{"plant", "--link", dir}, "not a symbolic link"},
        // a path that cannot be one
        {{"plant", "--link", ""}, "option --link needs a PATH, not an empty one"},
        {{"plant", "--link", dir + "/no/such/port"},
         "option --link: cannot make " + dir + "/no/such/port: there is no folder"},
        {{"poll", "--port", ""}, "option --port needs a PATH"},
        {{"simulate", "--events", ""}, "option --events needs a PATH"},
        {{"simulate", "--config", ""}, "option --config needs a PATH"},
        {{"simulate", "--model", ""}, "option --model needs a NAME, not an empty one"},
        {{"--version", "extra"}, "--version takes nothing after it, not 'extra'"},
        {{"simulate", "--version", "extra"}, "--version takes nothing after it, not 'extra'"},
        {{"plant", "--link", dir + "/port", "--faults", "late=1.5"}, "rate from 0 to 1"},
        // files
        {{"simulate", "--config", dir + "/none.json"}, "none.json"},
        {{"simulate", "--config", dir + "/bad.json"}, "bad.json:1:16: invalid JSON"},
        // JSON files read strictly: one object, nothing after it, no member twice
        {{"simulate", "--config", plant_file("array.json", "[]")},
         "array.json:1:1: the top level is an array, not an object"},
        {{"replay", "--script", dir + "/empty.script", "--config", plant_file("text.json", "\n \"x\"")},
         "text.json:2:2: the top level is a string"},
        {{"simulate", "--plant", plant_file("trailing.json", "{\"ac\": {}}\n{}")},
         "trailing.json:2:1: invalid JSON: extra non-whitespace after JSON value"},
        {{"simulate", "--plant", plant_file("twice.json", "{\"vendor\": [1, 2],\n \"vendor\": [3, 4]}")},
         "twice.json:2:2: invalid JSON: duplicate key: 'vendor'"},
        {{"simulate", "--config", dir}, "folder"},
        {{"simulate", "--config",
          plant_file("deep.json", "{\"a\": " + std::string(200, '[') + std::string(200, ']') + "}")},
         "deep.json:1:106: invalid JSON: nested deeper than 100 levels"},
        {{"simulate", "--plant", plant_file("nul.json", std::string("{\"ac\": {}}\n\0", 12))},
         "nul.json:2:1: invalid JSON: a NUL byte"},
        // configuration members: each one the device reads, of a type it reads as meant
        {{"simulate", "--config", plant_file("cfg-top.json", R"({"foo": 1})")},
         "cfg-top.json:1: foo: unknown member (known: appSetting, thresholdSetting)"},
        {{"simulate", "--config", plant_file("cfg-text.json", "{\n \"thresholdSetting\": \"high\"}")},
         "cfg-text.json:2: thresholdSetting: must be an object"},
        {{"simulate", "--config", plant_file("cfg-bool.json", "{\"appSetting\": {\n  \"has_dc\": true}}")},
         "cfg-bool.json:2: appSetting.has_dc: true is a JSON boolean, which the device reads as 0"},
        {{"poll", "--port", "/dev/null", "--config",
          plant_file("cfg-atoi.json", R"({"appSetting": {"b_mode": "2abc"}})")},
         "appSetting.b_mode: must be a whole number"},
        {{"simulate", "--config", plant_file("cfg-layout.json", R"({"appSetting": {"no_dc_number": 0}})")},
         "appSetting.no_dc_number: must be -1"},
        {{"simulate", "--config",
          plant_file("cfg-half.json", R"({"thresholdSetting": {"220600160010": {"level": 2}}})")},
         "thresholdSetting.220600160010: has a level but no value"},
        {{"replay", "--script", dir + "/empty.script", "--config",
          plant_file("cfg-entry.json", R"({"thresholdSetting": {"220600160010": {"levle": 2}}})")},
         "thresholdSetting.220600160010.levle: unknown member"},
        {{"simulate", "--config",
          plant_file("cfg-mode2.json",
                     "{\"appSetting\": {\"b_mode\": \"2\"},\n \"thresholdSetting\": {\n"
                     "  \"22060016001\": {\"level\": 2, \"value\": 52.5}}}")},
         "cfg-mode2.json:3: thresholdSetting.22060016001: no check of alarm mode 2 has this id"},
        {{"replay"}, "--script"},
        {{"replay", "--script", dir}, "folder"},
        {{"replay", "--script", dir + "/wide.script"}, "wide.script:1: control code 4294967596"},
        {{"replay", "--script", dir + "/empty.script", "--plugin", dir + "/none.so"}, "cannot load plug-in"},
        {{"replay", "--script", dir + "/empty.script", "--plugin", "libm.so.6"}, "no get_providers"},
        {{"record"}, "exactly one FILE"},
        {{"record", dir + "/short.bin"}, "short.bin holds 1256 bytes"},
        {{"record", dir + "/nothing-here"}, "nothing-here"},
        {{"record", dir}, "folder"},
        {{"record", dir + "/no-records.jsonl"}, "no publish or history event"},
        // plant members
        {{"simulate", "--plant", plant_file("typo.json", R"({"rectifiers": {"out_vv": 40}})")},
         "typo.json:1: rectifiers.out_vv: unknown member"},
        {{"simulate", "--plant", plant_file("top.json", R"({"dcc": []})")}, "top.json:1: dcc: unknown member"},
        {{"simulate", "--plant",
          plant_file("entry.json", "{\"ac\": {\"channels\": [\n  {\"a\": 230,\n   \"d\": 1}]}}")},
         "entry.json:3: ac.channels[0].d: unknown member"},
        {{"simulate", "--plant", plant_file("type.json", R"({"dc": [{"out_v": "high"}]})")}, "dc[0].out_v"},
        // plant values the fixed-point replies cannot carry
        {{"simulate", "--plant", plant_file("negative.json", R"({"dc": [{"battery_i": [3, -12.5]}]})")},
         "dc[0].battery_i[1]: -12.5 cannot be sent"},
        {{"simulate", "--plant", plant_file("high.json", R"({"rectifiers": {"out_v": 655.36}})")},
         "rectifiers.out_v: 655.36 cannot be sent"},
        {{"simulate", "--plant", plant_file("vendor.json", R"({"vendor": [50, 7000]})")}, "vendor[1]: 7000"},
        // a list whose reply would not fit a frame: 9 bytes of alarms a module
        {{"plant", "--link", dir + "/port", "--plant", plant_file("modules.json", modules(228))},
         "modules.json:1: rectifiers.modules: the reply 41H/44H to these 228 entries would not fit a frame (2054 "
         "bytes of INFO, at most 2047): the list holds at most 227 entries like these"},
        {{"simulate", "--plant", plant_file("marked.json", R"({"ac": {"channels": [{"f": 51.4}]}})")},
         "ac.channels[0].f: 51.4 cannot be sent: it goes out as 14 14"},
    };
    for (const Case& c : cases) {
        std::string line;
        for (const std::string& a : c.args) line += a + " ";
        SCOPED_TRACE(line);
        const HostRun r = run_host(c.args);
        EXPECT_EQ(r.status, 2) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    }
}

// The commented example configuration runs as it stands.
TEST(Cli, TheExampleConfigurationIsTakenAsItStands) {
    const HostRun r = run_host(
        {"simulate", "--fast", "--rounds", "1", "--config", std::string(TZV58_SOURCE_DIR) + "/contrib/device.json"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("alarms    none"), std::string::npos) << r.out;
}

// A folder, a FIFO or a device named where a file is read is one line at
// once: nothing waits for a FIFO's writer, nor reads a device without end.
TEST(Cli, AFolderFifoOrDeviceGivenAsAFileIsOneLineAtOnce) {
    const std::string dir = scratch_dir();
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::pair<std::string, const char*> inputs[] = {{fifo, "it is a FIFO, not a file"},
                                                          {"/dev/zero", "it is a device, not a file"},
                                                          {dir, "it is a folder, not a file"}};
    for (const auto& in : inputs) {
        for (const std::vector<std::string>& args : {std::vector<std::string>{"simulate", "--config", in.first},
                                                     {"simulate", "--plant", in.first},
                                                     {"replay", "--script", in.first},
                                                     {"record", in.first},
                                                     {"simulate", "--plugin", in.first}}) {
            SCOPED_TRACE(args[0] + " " + args[1] + " " + in.first);
            const pid_t pid = start_host(args, dir + "/out", dir + "/err");
            EXPECT_EQ(wait_child(pid, 10000), 2);
            const std::string err = slurp(dir + "/err");
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
            const std::string says = args[1] == "--plugin" ? "cannot load plug-in " + in.first + ": it is not a file"
                                                           : "cannot read " + in.first + ": " + in.second;
            EXPECT_NE(err.find(says), std::string::npos) << err;
            EXPECT_EQ(slurp(dir + "/out"), "");
        }
    }
}

// Every output is opened without waiting and every write is checked: a
// full disk (/dev/full) is one line naming the output, and status 1, which
// a poll's last line explains; a FIFO nobody reads is refused at once.
TEST(Cli, EveryOutputIsOpenedWithoutWaitingAndEveryWriteChecked) {
    if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full here";
    const std::string dir = scratch_dir();
    spit(dir + "/sound.hex", std::string(2 * 1257, '0'));
    const std::string script = std::string(TZV58_SOURCE_DIR) + "/tests/replay/round.script";
    struct Case {
        std::vector<std::string> args;
        std::string out;  // where standard output goes
        std::string says;
        std::string why = "";  // a poll's last line: why its status is 1
    };
    const std::vector<Case> cases = {
        {{"simulate", "--fast", "--rounds", "2", "--events", "/dev/full"},
         dir + "/out",
         "cannot write the --events file /dev/full: No space left on device",
         "events: a write failed"},
        {{"simulate", "--fast", "--rounds", "1", "--diag", "/dev/full"},
         dir + "/out",
         "cannot write the --diag file /dev/full",
         "diag: a write failed"},
        {{"simulate", "--fast", "--rounds", "1"},
         "/dev/full",
         "cannot write standard output: No space left on device",
         "summary: a write failed"},
        {{"simulate", "--fast", "--rounds", "1", "--events", "-"},
         "/dev/full",
         "cannot write standard output",
         "events: a write failed"},
        {{"replay", "--script", script}, "/dev/full", "cannot write standard output"},
        {{"record", dir + "/sound.hex"}, "/dev/full", "cannot write standard output: No space left on device"},
        {{"simulate", "--help"}, "/dev/full", "cannot write standard output: No space left on device"},
        {{"--version"}, "/dev/full", "cannot write standard output: No space left on device"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back() + " > " + c.out);
        const pid_t pid = start_host(c.args, c.out, dir + "/err");
        EXPECT_EQ(wait_child(pid, 30000), 1);
        const std::string err = slurp(dir + "/err");
        const std::string ending = c.why.empty() ? "" : "tzv58-host: ending with status 1: " + c.why + "\n";
        EXPECT_EQ(first_line(err) + "\n" + ending, err);
        EXPECT_NE(err.find(c.says), std::string::npos) << err;
    }
    const std::string fifo = dir + "/fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const char* option : {"--events", "--diag"}) {
        const pid_t pid = start_host({"simulate", "--fast", "--rounds", "1", option, fifo}, dir + "/out", dir + "/err");
        EXPECT_EQ(wait_child(pid, 10000), 2) << option;
        EXPECT_EQ(slurp(dir + "/err"),
                  "tzv58-host: option " + std::string(option) + ": nothing reads the FIFO " + fifo + "\n");
    }
}

// Texts from the line or a file reach no terminal raw: the plug-in prints a
// reply byte as a character (%c) in one of its lines, shown by --debug; a
// message quotes a name with an escape sequence in it.
TEST(Cli, ControlCharactersFromTheLineOrAFileReachNoTerminal) {
    const std::string dir = scratch_dir(), script = dir + "/esc.script";
    // 40H/42H: one channel at 0 V, then 1BH (ESC) user values.
    spit(script, "@refresh\n~200140009016000100000000000000001BF975\n");
    const HostRun debug = run_host({"replay", "--script", script, "--debug", "--events", "/dev/null"});
    ASSERT_EQ(debug.status, 0) << debug.err;
    EXPECT_EQ(debug.err, "acChannel.p40_41_count \\x1B\n");
    const HostRun named = run_host({"replay", "--script", dir + "/\x1B]0;owned\x07.script"});
    EXPECT_EQ(named.status, 2);
    EXPECT_EQ(named.err.find('\x1B'), std::string::npos) << named.err;
    EXPECT_NE(named.err.find("\\x1B]0;owned\\x07.script"), std::string::npos) << named.err;
}

// A port busy or not there at the start is no bad input: the line did not
// do it (status 1, which a service manager starts again after), unless
// --wait-port waits for it (tests/e2e_line_test.cpp).
TEST(Cli, APortBusyOrMissingAtTheStartIsStatusOne) {
    int master = -1, slave = -1;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    ASSERT_EQ(flock(slave, LOCK_EX | LOCK_NB), 0);  // another program holds the port
    const std::string missing = scratch_dir() + "/ttyUSB9";
    const std::pair<std::string, std::string> cases[] = {
        {name, std::string(name) + ": port is busy (locked by another process); --wait-port waits for it\n"},
        {missing, missing + ": no such port; --wait-port waits for it\n"}};
    for (const auto& c : cases) {
        const HostRun r = run_host({"poll", "--port", c.first, "--rounds", "1"});
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "tzv58-host: " + c.second);
    }
    close(slave);
    close(master);
}

TEST(Cli, AnUnreadableScriptLineNamesItsLineNumber) {
    const std::string dir = scratch_dir();
    spit(dir + "/bad.script", "# a comment\n\n@refresh\n@clock +2\n@frobnicate now\n@refresh\n");
    const HostRun r = run_host({"replay", "--script", dir + "/bad.script"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("bad.script:5:"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "") << "nothing is carried out before the script is understood";
}

}  // namespace
