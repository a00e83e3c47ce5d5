// The host program's command line: help, and one clear line with exit
// status 2 for every mistake, never a crash.
#include <pty.h>
#include <sys/file.h>

#include "e2e_support.h"

namespace {

void expect_usage_error(const std::vector<std::string>& args, const std::string& says) {
    const HostRun r = run_host(args);
    EXPECT_EQ(r.status, 2) << args.front() << ": " << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line on stderr: " << r.err;
    EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
}

TEST(Cli, HelpForTheProgramAndEachCommand) {
    const HostRun top = run_host({"--help"});
    EXPECT_EQ(top.status, 0);
    EXPECT_NE(top.out.find("tzv58-host simulate"), std::string::npos);
    for (const char* cmd : {"simulate", "poll", "replay", "record", "plant"}) {
        const HostRun r = run_host({cmd, "--help"});
        EXPECT_EQ(r.status, 0) << cmd;
        EXPECT_EQ(r.out.find(std::string("usage: tzv58-host ") + cmd), 0u) << r.out;
    }
    EXPECT_EQ(run_host({}).status, 2);
}

TEST(Cli, MistakesGiveOneLineAndStatusTwo) {
    const std::string dir = scratch_dir();
    spit(dir + "/bad.json", "{\"appSetting\": ");
    spit(dir + "/plant.json", R"({"dc": [{"out_v": "high"}]})");
    spit(dir + "/empty.script", "");
    expect_usage_error({"simulate", "--bogus"}, "unknown option --bogus");
    expect_usage_error({"frobnicate"}, "unknown command");
    expect_usage_error({"simulate", "--rounds", "many"}, "--rounds");
    expect_usage_error({"simulate", "--rounds"}, "needs a value");
    expect_usage_error({"simulate", "--config", dir + "/none.json"}, "cannot read");
    expect_usage_error({"simulate", "--config", dir + "/bad.json"}, "invalid JSON");
    expect_usage_error({"simulate", "--plant", dir + "/plant.json"}, "dc[0].out_v");
    expect_usage_error({"simulate", "--faults", "drop=2"}, "rate from 0 to 1");
    expect_usage_error({"simulate", "--faults", "lightning=0.1"}, "unknown fault");
    expect_usage_error({"replay", "--script", dir + "/empty.script", "--plugin", dir + "/none.so"},
                       "cannot load plug-in");
    expect_usage_error({"replay", "--script", dir + "/empty.script", "--plugin", "libm.so.6"}, "no get_providers");
    expect_usage_error({"replay"}, "--script");
    expect_usage_error({"poll"}, "--port");
    expect_usage_error({"plant"}, "--link");
    expect_usage_error({"plant", "--link", dir}, "not a symbolic link");
    expect_usage_error({"plant", "--link", dir + "/port", "--faults", "late=1.5"}, "rate from 0 to 1");
}

TEST(Cli, PollRefusesABusyPort) {
    int master = -1, slave = -1;
    char name[256];
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    ASSERT_EQ(flock(slave, LOCK_EX | LOCK_NB), 0);  // another program holds the port
    expect_usage_error({"poll", "--port", name, "--rounds", "1"}, "busy");
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
