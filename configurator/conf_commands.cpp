#include "conf_commands.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "conf_report.h"
#include "conf_run.h"
#include "run_guard.h"
#include "save_file.h"
#include "shard.h"
#include "state_file.h"
#include "tag_text.h"
#include "target_limit.h"

namespace tagconf {

namespace {

// The file's first bytes, enough to tell a plan; false when it cannot be
// read. Only a regular file is opened: a FIFO would block for ever.
bool readStart(const std::string& path, std::string& start, std::string& error) {
    std::error_code code;
    auto status = std::filesystem::status(path, code);
    if (!code && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        error = "cannot read " + path + ": not a regular file";
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    start.resize(32);
    in.read(start.data(), std::streamsize(start.size()));
    start.resize(size_t(in.gcount()));
    return true;
}

bool loadPlan(const ConfOptions& o, State& state, PlanInfo& plan, std::string& error) {
    std::ifstream in(o.stateFile, std::ios::binary);
    if (!readPlan(in, o.stateFile, state, plan, error)) return false;
    if (in.bad()) {
        error = "cannot read " + o.stateFile;
        return false;
    }
    // Every target of a plan names its port; another -p would mean another plan.
    if (o.portGiven && o.port != plan.port) {
        error = o.stateFile + " was planned with -p " + std::to_string(plan.port) + ", not " +
                std::to_string(o.port);
        return false;
    }
    return true;
}

// What keeps a plan from being written: targets it could not read.
std::string unplannable(const std::vector<TargetResult>& results) {
    size_t unread = 0;
    for (const TargetResult& r : results)
        unread += r.outcome == Outcome::Unreachable || r.outcome == Outcome::Stale;
    if (!unread) return "";
    return std::to_string(unread) + (unread == 1 ? " target" : " targets") +
           " not read, whose state a plan cannot hold (--limit leaves targets out)";
}

int writePlanFile(const ConfOptions& o, const State& state, const std::vector<TargetResult>& results,
                  FILE* err) {
    std::string why = unplannable(results);
    if (why.empty()) {
        PlanInfo info{o.stateFile, o.port};
        // Past the file size limit a write fails with EFBIG instead of
        // killing the program half way.
        signal(SIGXFSZ, SIG_IGN);
        if (replaceFile(
                o.planOut, [&](std::ostream& out) { writePlan(out, info, state, results); }, why))
            return 0;
    }
    fprintf(err, "tagconf: no plan written to %s: %s\n", o.planOut.c_str(), why.c_str());
    return 1;
}

// Only the shard's targets of the state. Two names for one device are then
// found within the shard alone: every spelling of an address lands in one
// shard, but a name and an address may not (see shard.h).
void keepShard(State& state, const tagpoll::Shard& shard) {
    if (shard.count <= 1) return;
    auto& targets = state.targets;
    targets.erase(std::remove_if(targets.begin(), targets.end(),
                                 [&](const TargetState& t) { return !tagpoll::inShard(t.target, shard); }),
                  targets.end());
}

}  // namespace

bool loadInput(const ConfOptions& o, State& state, bool& isPlan, PlanInfo& plan, std::string& error) {
    std::string start;
    if (!readStart(o.stateFile, start, error)) return false;
    isPlan = isPlanText(start);
    bool loaded = isPlan ? loadPlan(o, state, plan, error) : loadState(o.stateFile, o.port, state, error);
    if (loaded && !limitTargets(state, o.limits, isPlan ? plan.port : o.port, o.stateFile, error)) {
        state = State{};
        return false;
    }
    if (loaded) keepShard(state, o.shard);
    return loaded;
}

namespace {

// loadInput, saying why on err when it fails.
bool loadOrSay(const ConfOptions& o, State& state, bool& isPlan, PlanInfo& plan, FILE* err) {
    std::string error;
    if (loadInput(o, state, isPlan, plan, error)) return true;
    fprintf(err, "tagconf: %s\n", error.c_str());
    return false;
}

}  // namespace

int planOrApply(const ConfOptions& o, FILE* out, FILE* err) {
    State state;
    PlanInfo plan;
    bool isPlan = false;
    if (!loadOrSay(o, state, isPlan, plan, err)) return 1;
    if (isPlan && !o.dryRun && o.command == Command::Plan) {
        fprintf(err, "tagconf: %s is a plan file: apply it, or plan from its state file %s\n",
                o.stateFile.c_str(), printable(plan.stateFile).c_str());
        return 1;
    }
    RunOptions run{o.timeoutSeconds,          o.retries, o.concurrency, o.rate, o.command == Command::Apply,
                   isatty(STDERR_FILENO) == 1};
    RunReport report;
    if (int status = guardedRun(state, run, o.lockTimeout, report); status >= 0) return status;
    const std::vector<TargetResult>& results = report.results;
    ReportStyle style{o.format, run.write, o.format == Format::Text && isatty(fileno(out)) == 1, isPlan};
    printResults(out, state, results, style);
    // Stopped: the conventional status, once everything known is said; a
    // stopped plan keeps no plan file.
    int status = report.stopped ? 128 + report.stopSignal : exitStatus(results, run.write);
    if (!report.stopped && !o.planOut.empty() && writePlanFile(o, state, results, err) != 0) status = 1;
    std::string summary = summaryLine(results, style);
    if (o.format == Format::Json) {
        // Standard output holds only JSON objects; the line is for whoever watches.
        fprintf(out, "%s\n", summaryObject(results, style, status).dump().c_str());
        fprintf(err, "%s\n", summary.c_str());
    } else {
        fprintf(out, "%s\n", summary.c_str());
    }
    return status;
}

int validate(const ConfOptions& o, FILE* out, FILE* err) {
    State state;
    PlanInfo plan;
    bool isPlan = false;
    if (!loadOrSay(o, state, isPlan, plan, err)) return 1;
    size_t n = state.targets.size();
    fprintf(out, "%s: valid %s, %zu %s\n", o.stateFile.c_str(), isPlan ? "plan" : "state file", n,
            n == 1 ? "target" : "targets");
    return 0;
}

}  // namespace tagconf
