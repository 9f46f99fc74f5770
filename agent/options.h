// The agent's command line.
#ifndef AGENT_OPTIONS_H
#define AGENT_OPTIONS_H

#include <cstdint>
#include <cstdio>
#include <string>

#include "reply_budget.h"
#include "request_handler.h"

struct Options {
    std::string address = "127.0.0.1";  // IPv4 or IPv6 address to serve on
    uint16_t port = 60000;              // 0: any free port
    std::string dataFile;               // empty: the demo device
    unsigned long timeLimit = 0;        // seconds; 0: none
    unsigned long requestLimit = 0;     // requests; 0: none
    int verbosity = 0;                  // each -v: one more level of log records
    unsigned long devices = 0;          // 0: one device, as without a fleet
    std::string targetsFile;            // empty: none written
    double loss = 0;                    // share of requests dropped unread, 0 to 1
    unsigned long delayMs = 0;          // answers wait this long...
    unsigned long jitterMs = 0;         // ...give or take up to this much
    BudgetLimits budget;                // per device and source address
    ReadOnlyTags readOnly;              // SETs of these are ignored
    bool help = false;
    bool version = false;
};

// The most devices one agent simulates: every address of 127.0.0.0/8 but
// its first and last.
constexpr unsigned long MAX_DEVICES = 16777214;

namespace cmdline {
class CommandLine;
}

// The table of the agent's options, reading into options: for the parse,
// the help and the bash completion.
void describeOptions(cmdline::CommandLine& line, Options& options);

// Reads the options (short and long forms). False, with the complaint in
// error, for an unknown option, a missing or malformed value, a value
// option given twice, or a stray argument. -h, --help and --version end the
// parse with their flag set.
bool parseOptions(int argc, char** argv, Options& options, std::string& error);

void printUsage(FILE* out);

#endif
