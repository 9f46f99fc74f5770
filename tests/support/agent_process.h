// A real tagagent started as a child process on a free port of 127.0.0.1,
// for end-to-end tests. Bounded to 60 seconds whatever happens to the test.
#ifndef AGENT_PROCESS_H
#define AGENT_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <csignal>
#include <string>
#include <vector>

#include "run_program.h"

class AgentProcess {
public:
    // Starts tagagent -p 0 -t 60 with the extra options and reads its first
    // line, which tells the port (for a fleet, its last device's). With
    // logFile, its standard error (the log) goes to that file.
    explicit AgentProcess(std::vector<std::string> extra = {}, const std::string& logFile = "");
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    // Sends the signal and returns the exit status.
    int stop(int signal = SIGTERM);
    // The same, but an agent still running after the limit is killed
    // (status 128 + SIGKILL), so that a test of stopping cannot hang.
    int stopWithin(std::chrono::milliseconds limit, int signal = SIGTERM);
    // Waits for the agent to end by itself; the exit status, or 128 + signal.
    int wait();
    // Runs the real client against this agent.
    RunResult client(std::vector<std::string> words) const;

    std::string firstLine;
    int port = 0;

private:
    std::string readLine();

    pid_t pid = -1;
    int outFd = -1;
};

#endif
