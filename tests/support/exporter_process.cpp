#include "exporter_process.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>

namespace {

int statusOf(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

using Clock = std::chrono::steady_clock;

}  // namespace

ExporterProcess::ExporterProcess(const std::string& exporterPath, std::vector<std::string> flags) {
    std::vector<std::string> args{exporterPath};
    bool named = false;  // a test that names its own address gets that one alone
    for (const std::string& f : flags) named = named || f.rfind("--web.listen-address=", 0) == 0;
    if (!named) args.push_back("--web.listen-address=127.0.0.1:0");
    args.insert(args.end(), flags.begin(), flags.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    int err[2];
    if (pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        dup2(err[1], STDERR_FILENO);
        rlimit cpu{60, 60};  // a hung exporter cannot outlive the test run for long
        setrlimit(RLIMIT_CPU, &cpu);
        alarm(60);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(err[1]);
    errFd = err[0];
}

ExporterProcess::~ExporterProcess() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    close(errFd);
}

void ExporterProcess::readLog(int timeoutMs) {
    pollfd p{errFd, POLLIN, 0};
    char chunk[4096];
    if (poll(&p, 1, timeoutMs) != 1) return;
    ssize_t n = read(errFd, chunk, sizeof chunk);
    if (n > 0) text.append(chunk, size_t(n));
}

uint16_t ExporterProcess::waitUntilListening(std::chrono::milliseconds limit) {
    const std::string mark = "listening on port ";
    for (auto end = Clock::now() + limit; Clock::now() < end;) {
        size_t at = text.find(mark);
        if (at != std::string::npos && text.find('\n', at) != std::string::npos)
            return uint16_t(std::stoi(text.substr(at + mark.size())));
        if (!running()) return 0;
        readLog(20);
    }
    return 0;
}

void ExporterProcess::signal(int number) const { kill(pid, number); }

bool ExporterProcess::running() {
    int raw = 0;
    if (pid > 0 && waitpid(pid, &raw, WNOHANG) == pid) {
        pid = -1;
        exitStatus = statusOf(raw);
    }
    return pid > 0;
}

int ExporterProcess::waitForExit(std::chrono::milliseconds limit) {
    for (auto end = Clock::now() + limit; running() && Clock::now() < end;) readLog(5);
    if (!running()) return exitStatus;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    pid = -1;
    return -1;
}

const std::string& ExporterProcess::log() {
    while (true) {
        size_t before = text.size();
        readLog(0);
        if (text.size() == before) return text;
    }
}
