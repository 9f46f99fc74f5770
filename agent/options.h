// The agent's command line.
#ifndef AGENT_OPTIONS_H
#define AGENT_OPTIONS_H

#include <cstdint>
#include <cstdio>
#include <string>

struct Options {
    std::string address = "127.0.0.1";  // IPv4 address to serve on
    uint16_t port = 60000;              // 0: any free port
    std::string dataFile;               // empty: the demo device
    unsigned long timeLimit = 0;        // seconds; 0: none
    unsigned long requestLimit = 0;     // requests; 0: none
    int verbosity = 0;                  // each -v: one more level of log records
    bool help = false;
};

// Reads the options (getopt_long, short and long forms). False, with the
// complaint in error, for an unknown option, a missing or malformed value,
// or a stray argument.
bool parseOptions(int argc, char** argv, Options& options, std::string& error);

void printUsage(FILE* out);

#endif
