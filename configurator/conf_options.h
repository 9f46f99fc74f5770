// tagconf's command line, read with CLI11.
#ifndef TAGCONF_CONF_OPTIONS_H
#define TAGCONF_CONF_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "poll_options.h"
#include "shard.h"

namespace CLI {
class App;
}

namespace tagconf {

enum class Command { Plan, Apply, Save, Validate };
enum class Format { Text, Json };

struct ConfOptions {
    Command command = Command::Plan;
    std::string stateFile;             // plan, validate: a state file; apply: a state or plan file
    bool dryRun = false;               // apply --dry-run: plan
    std::string planOut;               // plan --out: where the plan file goes
    std::vector<std::string> limits;   // plan, apply, validate --limit: the targets acted on
    std::vector<std::string> files;    // save -f
    std::vector<std::string> targets;  // save --target
    std::vector<std::string> tags;     // save: names, groups among them
    std::string output;                // save -o; empty for standard output
    bool partial = false;              // save --partial: write what was read
    double timeoutSeconds = 2;
    int retries = tagpoll::DEFAULT_RETRIES;
    unsigned concurrency = 1024;
    double rate = 0;         // requests per second, 0 for no limit
    double lockTimeout = 5;  // apply: seconds to wait for another apply's lock on the same targets
    uint16_t port = 60000;
    bool portGiven = false;  // -p on the command line, not the default
    Format format = Format::Text;
    tagpoll::Shard shard;  // --shard I/N: only the targets of that shard
};

// The commands and their options, reading into options: for the parse, the
// help and the bash completion.
void describeCommands(CLI::App& app, ConfOptions& options);

// Reads argv into options. Returns -1 when the command is to run; otherwise
// the exit status, after printing the help or the version (0) or what is
// wrong (1, on standard error).
int parseOptions(int argc, char** argv, ConfOptions& options);

}  // namespace tagconf

#endif
