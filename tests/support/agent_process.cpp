#include "agent_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace {

int statusOf(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

}  // namespace

AgentProcess::AgentProcess(std::vector<std::string> extra, const std::string& logFile) {
    std::vector<std::string> args{TAGAGENT_PATH, "-p", "0", "-t", "60"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        if (!logFile.empty()) {
            int log = open(logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (log >= 0) dup2(log, STDERR_FILENO);
        }
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    outFd = out[0];
    firstLine = readLine();
    // "listening on ADDR:PORT"; for a fleet, the port of its last device.
    if (size_t colon = firstLine.rfind(':');
        firstLine.starts_with("listening on ") && colon != std::string::npos)
        port = std::stoi(firstLine.substr(colon + 1));
}

AgentProcess::~AgentProcess() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    close(outFd);
}

int AgentProcess::stop(int signal) {
    kill(pid, signal);
    return wait();
}

int AgentProcess::stopWithin(std::chrono::milliseconds limit, int signal) {
    kill(pid, signal);
    int raw = 0;
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
        if (waitpid(pid, &raw, WNOHANG) == pid) {
            pid = -1;
            return statusOf(raw);
        }
        usleep(5000);
    }
    kill(pid, SIGKILL);
    return wait();
}

int AgentProcess::wait() {
    int raw = 0;
    waitpid(pid, &raw, 0);
    pid = -1;
    return statusOf(raw);
}

RunResult AgentProcess::client(std::vector<std::string> words) const {
    std::vector<std::string> args{"-h", "127.0.0.1", "-p", std::to_string(port)};
    args.insert(args.end(), words.begin(), words.end());
    return runClient(args);
}

std::string AgentProcess::readLine() {
    std::string line;
    char c;
    pollfd p{outFd, POLLIN, 0};
    while (poll(&p, 1, 10000) == 1 && read(outFd, &c, 1) == 1 && c != '\n') line += c;
    return line;
}
