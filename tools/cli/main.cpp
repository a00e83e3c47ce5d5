// tzv58-host: the stand-in site-monitoring host. Loads tzv58_419.so as the
// real host does, and drives one device against a simulated power system, a
// real serial port or a script; or decodes a record image. The commands are
// in tools/cli/commands.cpp.
#include <algorithm>
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

int dispatch(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        std::fputs(program_help().c_str(), argc < 2 ? stderr : stdout);
        return argc < 2 ? EXIT_USAGE : EXIT_DONE;
    }
    if (!std::strcmp(argv[1], "--version")) {
        std::fputs(VERSION, stdout);
        return EXIT_DONE;
    }
    const Command* command = find_command(argv[1]);
    if (!command) return unknown_command(argv[1]);
    CommandLine cl;
    cl.command = command->name;
    std::string err;
    if (!parse_options(argc, argv, 2, accepted_options(*command), cl, err) || !paths_named(cl, err) ||
        !standard_streams_named(cl, err))
        return usage_error(err);
    if (cl.has("--help")) {
        std::fputs(command_help(*command).c_str(), stdout);
        return EXIT_DONE;
    }
    if (cl.has("--version")) {
        std::fputs(VERSION, stdout);
        return EXIT_DONE;
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
