// tzv58-host: the stand-in site-monitoring host. Loads tzv58_419.so as the
// real host does, and drives one device against a simulated power system, a
// real serial port or a script; or decodes a record image. The commands are
// in tools/cli/commands.cpp.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "tools/cli/commands.h"
#include "tools/common/console.h"
#include "tools/common/exit_status.h"
#include "tools/common/history_status.h"
#include "tools/common/output_pump.h"

using namespace tzv58::tool;

namespace {

const char* const VERSION = "tzv58-host " TZV58_HOST_VERSION "\n";

// Help or the version on standard output; a write that fails is said, as
// any output's (status 1).
int print(const std::string& text) {
    errno = 0;
    if (std::fputs(text.c_str(), stdout) >= 0 && std::fflush(stdout) == 0) return EXIT_DONE;
    const int why = errno ? errno : EIO;
    std::clearerr(stdout);
    if (standard_output_closed()) return failure("cannot write standard output: it is closed");
    return failure(std::string("cannot write standard output: ") + std::strerror(why));
}

int dispatch(int argc, char** argv) {
    if (argc < 2) {
        std::fputs(program_help().c_str(), stderr);
        return EXIT_USAGE;
    }
    if (!std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) return print(program_help());
    if (!std::strcmp(argv[1], "--version")) {
        if (argc > 2) return usage_error(std::string("--version takes nothing after it, not '") + argv[2] + "'");
        return print(VERSION);
    }
    const Command* command = find_command(argv[1]);
    if (!command) return unknown_command(argv[1]);
    CommandLine cl;
    cl.command = command->name;
    std::string err;
    if (!parse_options(argc, argv, 2, accepted_options(*command), cl, err) || !paths_named(cl, err) ||
        !standard_streams_named(cl, err))
        return usage_error(err);
    if (cl.has("--help")) return print(command_help(*command));
    if (cl.has("--version")) {
        if (!cl.args.empty()) return usage_error("--version takes nothing after it, not '" + cl.args[0] + "'");
        return print(VERSION);
    }
    return command->run(cl);
}

}  // namespace

int main(int argc, char** argv) {
    hold_standard_descriptors();
    int status;
    try {
        status = dispatch(argc, argv);
    } catch (const std::bad_alloc&) {
        status = failure("out of memory");
    } catch (const std::exception& e) {  // a thread or a server that could not be started, and the like
        status = start_error(e.what());
    }
    // Started with standard output closed: what went there unchecked (the
    // help, the version) is said lost.
    if (standard_output_closed() && (std::fflush(stdout) != 0 || std::ferror(stdout)) && status == EXIT_DONE)
        status = failure("cannot write standard output: it is closed");
    // History rounds lost are said as they go; the run did not do all it
    // was asked.
    if (history_rounds_lost()) status = std::max(status, EXIT_FAIL);
    // Last: every line of the run is on its way to standard error.
    if (!finish_stderr_pump(PUMP_END_WAIT_MS)) status = std::max(status, EXIT_FAIL);
    return status;
}
