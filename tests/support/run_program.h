// Runs a program of ours as a child process and collects what it printed.
#ifndef RUN_PROGRAM_H
#define RUN_PROGRAM_H

#include <string>
#include <vector>

struct RunResult {
    std::string out;  // standard output
    std::string err;  // standard error
    int status = -1;  // exit status, or 128 + signal
};

// Runs path with the arguments (argv[0] is added). Each extra environment
// entry "NAME=value" is set in the child, "NAME" alone is unset.
RunResult runProgram(const std::string& path, const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {});

// Runs path as runProgram does, but with standard output on a
// pseudo-terminal in raw mode (bytes pass unchanged), as when a person runs
// it; out holds what reached the terminal.
RunResult runProgramOnTerminal(const std::string& path, const std::vector<std::string>& args);

// A library that, preloaded, writes the time-out of every select() call to
// standard error.
const char* recordSelectLibrary();

// The path of the tagclient binary under test.
const char* clientPath();

// A library that, preloaded, makes every socket() call fail.
const char* failSocketLibrary();

// Runs path as runProgram does, under the program named by
// TAGCLIENT_TEST_WRAPPER (valgrind and its options) when that is set.
RunResult runWrapped(const std::string& path, const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {});

// Whether the client runs under a wrapper (valgrind), many times slower:
// tests that pace a flood for the client to keep up pace it slower then.
bool clientWrapped();

// The tagclient binary under test.
RunResult runClient(const std::vector<std::string>& args, const std::vector<std::string>& env = {});

#endif
