// Runs a command and writes what it cost into OUT_FILE, finer than
// time(1)'s hundredths: "WALL USER SYS MAXRSS", seconds to the microsecond
// and KB. Exits with the command's status.
// Usage: measure_run OUT_FILE COMMAND [ARGS...]
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

namespace {

double seconds(const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; }

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        fprintf(stderr, "usage: %s OUT_FILE COMMAND [ARGS...]\n", argv[0]);
        return 2;
    }
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    int status = 0;
    rusage use{};
    if (pid < 0 || wait4(pid, &status, 0, &use) != pid) return 2;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    FILE* out = fopen(argv[1], "w");
    if (!out) return 2;
    fprintf(out, "%.6f %.6f %.6f %ld\n", wall, seconds(use.ru_utime), seconds(use.ru_stime), use.ru_maxrss);
    fclose(out);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}
