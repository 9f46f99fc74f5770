// tagconf: desired state for a fleet of tag-protocol devices. plan reads
// every target and prints what differs from a state file, apply writes what
// differs and reads it back, save writes what devices hold as a state file.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <system_error>

#include "conf_options.h"
#include "conf_report.h"
#include "conf_run.h"
#include "conf_save.h"
#include "run_guard.h"
#include "state_file.h"

namespace {

using namespace tagconf;

int planOrApply(const ConfOptions& o) {
    State state;
    std::string error;
    if (!loadState(o.stateFile, o.port, state, error)) {
        fprintf(stderr, "tagconf: %s\n", error.c_str());
        return 1;
    }
    RunOptions run{o.timeoutSeconds,          o.retries, o.concurrency, o.rate, o.command == Command::Apply,
                   isatty(STDERR_FILENO) == 1};
    RunReport report;
    if (int status = guardedRun(state, run, o.lockTimeout, report); status >= 0) return status;
    const std::vector<TargetResult>& results = report.results;
    ReportStyle style{o.format, run.write, o.format == Format::Text && isatty(STDOUT_FILENO) == 1};
    printResults(stdout, state, results, style);
    // Standard output holds only JSON objects in that format.
    fprintf(o.format == Format::Json ? stderr : stdout, "%s\n", summaryLine(results, run.write).c_str());
    // Stopped: the conventional status, once everything known is said.
    if (report.stopped) return 128 + report.stopSignal;
    return exitStatus(results, run.write);
}

}  // namespace

int main(int argc, char** argv) {
    ConfOptions o;
    if (int status = parseOptions(argc, argv, o); status >= 0) return status;
    try {
        return o.command == Command::Save ? runSave(o, std::cout, stderr) : planOrApply(o);
    } catch (const std::system_error& e) {
        fprintf(stderr, "tagconf: %s\n", e.what());
        return 1;
    }
}
