// The commands of tzv58-host, in one table: each command's name, its usage
// (the program's --help and the command's own both show it from here), the
// options it takes with the help that describes them, and the function that
// runs it. A command's function lives in a file named after it: poll_cmd.cpp
// (simulate and poll), replay_cmd.cpp, record_cmd.cpp, plant_cmd.cpp,
// client.cpp (get and control), and tools/history/history_cmd.cpp.
#pragma once

#include <string>
#include <vector>

#include "tools/common/options.h"

namespace tzv58::tool {

struct Command {
    const char* name;
    // Its forms, each what follows "tzv58-host NAME " ('\n' goes on under
    // the first operand): the usage lines of its --help and of the program's.
    std::vector<const char*> usage;
    const char* gloss;                        // what it does, beside its usage in the program's --help; or nullptr
    std::vector<const OptionGroup*> options;  // what it takes; its --help is the usage, then their texts in order
    int (*run)(const CommandLine& cl);        // the exit status
};

// Every command, in the order the program's help lists them.
const std::vector<Command>& commands();
// nullptr for a name that is no command.
const Command* find_command(const std::string& name);

// The program's --help, and a command's.
std::string program_help();
std::string command_help(const Command& command);
// The options a command accepts; --help always among them.
std::vector<OptionSpec> accepted_options(const Command& command);
// "unknown command 'NAME' (simulate, poll, ...; see --help)": the line, and status 2.
int unknown_command(const std::string& name);
// "unexpected argument 'X'", status 2: for the commands that take no operand.
int unexpected_argument(const CommandLine& cl);

int run_simulate(const CommandLine& cl);
int run_poll(const CommandLine& cl);
int run_replay(const CommandLine& cl);
int run_record(const CommandLine& cl);
int run_plant(const CommandLine& cl);

}  // namespace tzv58::tool
