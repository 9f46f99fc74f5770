#include "run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace {

// Reads both pipes to their end together, so that neither can fill and
// stall the child.
void collect(int outFd, int errFd, std::string& out, std::string& err) {
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {&out, &err};
    int open = 2;
    char chunk[65536];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
            if (n > 0) {
                sinks[i]->append(chunk, size_t(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

// The child's environment: ours, with the changes applied. Built before
// fork, because the child of a threaded process may only call
// async-signal-safe functions before exec.
std::vector<std::string> childEnvironment(const std::vector<std::string>& changes) {
    std::vector<std::string> result;
    for (char** e = environ; *e; ++e) result.emplace_back(*e);
    for (const std::string& change : changes) {
        std::string name = change.substr(0, change.find('='));
        std::erase_if(result,
                      [&](const std::string& e) { return e.compare(0, name.size() + 1, name + "=") == 0; });
        if (change.find('=') != std::string::npos) result.push_back(change);
    }
    return result;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> p;
    for (std::string& s : strings) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
}

}  // namespace

RunResult runProgram(const std::string& path, const std::vector<std::string>& args,
                     const std::vector<std::string>& env) {
    std::vector<std::string> argStrings{path};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings = childEnvironment(env);
    std::vector<char*> argv = pointers(argStrings), envp = pointers(envStrings);

    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        close(outPipe[0]);
        close(errPipe[0]);
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    RunResult r;
    collect(outPipe[0], errPipe[0], r.out, r.err);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

RunResult runProgramOnTerminal(const std::string& path, const std::vector<std::string>& args) {
    std::vector<std::string> argStrings{path};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char*> argv = pointers(argStrings);

    int terminal, terminalEnd, errPipe[2];
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&terminal, &terminalEnd, nullptr, &raw, nullptr) != 0) throw std::runtime_error("openpty");
    if (pipe2(errPipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        dup2(terminalEnd, STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        close(terminal);
        close(terminalEnd);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(terminalEnd);
    close(errPipe[1]);
    RunResult r;
    // Once the child is gone, reading the terminal's master side fails with
    // EIO: that is its end of file.
    collect(terminal, errPipe[0], r.out, r.err);
    int status = 0;
    waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

const char* clientPath() { return TAGCLIENT_PATH; }

const char* recordSelectLibrary() { return RECORD_SELECT_PATH; }

const char* failSocketLibrary() { return FAIL_SOCKET_PATH; }

RunResult runWrapped(const std::string& path, const std::vector<std::string>& args,
                     const std::vector<std::string>& env) {
    const char* wrapper = getenv("TAGCLIENT_TEST_WRAPPER");
    if (!wrapper || !*wrapper) return runProgram(path, args, env);
    std::istringstream words(wrapper);
    std::vector<std::string> wrapped{std::istream_iterator<std::string>(words), {}};
    std::string program = wrapped.front();
    wrapped.erase(wrapped.begin());
    wrapped.push_back(path);
    wrapped.insert(wrapped.end(), args.begin(), args.end());
    return runProgram(program, wrapped, env);
}

bool clientWrapped() {
    const char* wrapper = getenv("TAGCLIENT_TEST_WRAPPER");
    return wrapper && *wrapper;
}

// TAGCLIENT_TEST_WRAPPER, when set, names a program and its options that
// run the client (valgrind, for the memory-checked run of these tests).
RunResult runClient(const std::vector<std::string>& args, const std::vector<std::string>& env) {
    return runWrapped(TAGCLIENT_PATH, args, env);
}
