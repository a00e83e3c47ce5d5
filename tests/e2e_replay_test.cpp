// Each tests/replay/NAME.script is replayed (with NAME.json as the device's
// configuration when there is one) and its events must equal NAME.expected
// line for line. TZV58_UPDATE_REPLAY=1 rewrites the expected files instead.
#include <dirent.h>

#include <algorithm>

#include "e2e_support.h"

namespace {

const std::string REPLAY_DIR = std::string(TZV58_SOURCE_DIR) + "/tests/replay/";

std::vector<std::string> scripts() {
    std::vector<std::string> names;
    if (DIR* d = opendir(REPLAY_DIR.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string f = e->d_name;
            if (f.size() > 7 && f.compare(f.size() - 7, 7, ".script") == 0) names.push_back(f.substr(0, f.size() - 7));
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

class Replay : public testing::TestWithParam<std::string> {};

TEST_P(Replay, GivesExactlyTheExpectedEvents) {
    const std::string base = REPLAY_DIR + GetParam();
    const std::string events = scratch_dir() + "/events";
    std::vector<std::string> args{"replay", "--script", base + ".script", "--events", events};
    if (access((base + ".json").c_str(), R_OK) == 0) args.insert(args.end(), {"--config", base + ".json"});
    const HostRun r = run_host(args);
    ASSERT_EQ(r.status, 0) << r.err;
    if (std::getenv("TZV58_UPDATE_REPLAY")) {
        spit(base + ".expected", slurp(events));
        return;
    }
    std::istringstream got(slurp(events)), want(slurp(base + ".expected"));
    std::string g, w;
    for (int line = 1;; ++line) {
        const bool more_g = bool(std::getline(got, g)), more_w = bool(std::getline(want, w));
        if (!more_g && !more_w) break;
        ASSERT_EQ(more_g ? g : "(end of events)", more_w ? w : "(end of expected)") << "event " << line;
    }
}

INSTANTIATE_TEST_SUITE_P(Scripts, Replay, testing::ValuesIn(scripts()),
                         [](const testing::TestParamInfo<std::string>& p) {
                             std::string name = p.param;
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

TEST(ReplayFolder, HoldsScriptsWithExpectedEvents) {
    ASSERT_FALSE(scripts().empty());
    for (const std::string& s : scripts())
        EXPECT_EQ(access((REPLAY_DIR + s + ".expected").c_str(), R_OK), 0) << s << ".expected is missing";
}

}  // namespace
