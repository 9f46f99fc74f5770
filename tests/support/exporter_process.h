// A real tag_exporter started as a child process on a free port of
// 127.0.0.1, for end-to-end tests, with its log kept for inspection.
// Bounded to 60 seconds whatever happens to the test.
#ifndef EXPORTER_PROCESS_H
#define EXPORTER_PROCESS_H

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class ExporterProcess {
public:
    // Starts tag_exporter --web.listen-address=127.0.0.1:0 with the extra
    // flags (without that address if they name one). It does not wait for it to listen: see
    // waitUntilListening.
    explicit ExporterProcess(const std::string& exporterPath, std::vector<std::string> flags);
    ~ExporterProcess();
    ExporterProcess(const ExporterProcess&) = delete;
    ExporterProcess& operator=(const ExporterProcess&) = delete;

    // Reads the log until "listening on port N"; the port, 0 if the process
    // ended or said nothing of the kind within the limit.
    uint16_t waitUntilListening(std::chrono::milliseconds limit = std::chrono::seconds(10));
    void signal(int number) const;
    // The exit status (or 128 + signal); a process still running after the
    // limit is killed and -1 returned, so that a test of stopping cannot hang.
    int waitForExit(std::chrono::milliseconds limit);
    bool running();
    // Everything the process wrote to standard error so far.
    const std::string& log();

private:
    void readLog(int timeoutMs);

    pid_t pid = -1;
    int exitStatus = -1;  // once reaped
    int errFd = -1;
    std::string text;
};

#endif
