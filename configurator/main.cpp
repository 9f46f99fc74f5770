// tagconf: desired state for a fleet of tag-protocol devices. plan reads
// every target and prints what differs from a state file, apply writes what
// differs and reads it back, save writes what devices hold as a state file.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <system_error>

#include "conf_options.h"
#include "conf_report.h"
#include "conf_run.h"
#include "conf_save.h"
#include "request_words.h"
#include "run_guard.h"
#include "same_device.h"
#include "state_file.h"

namespace {

using namespace tagconf;

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

int planOrApply(const ConfOptions& o) {
    State state;
    std::string error;
    if (!loadState(o.stateFile, o.port, state, error)) {
        fprintf(stderr, "tagconf: %s\n", error.c_str());
        return 1;
    }
    keepShard(state, o.shard);
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

// The targets of -f and --target, duplicates read once; false after saying why.
bool collectTargets(const ConfOptions& o, tagpoll::TargetList& list) {
    for (const std::string& file : o.files) {
        std::ifstream in(file);
        if (!in) {
            fprintf(stderr, "tagconf: cannot read %s: %s\n", file.c_str(), strerror(errno));
            return false;
        }
        if (!list.readStream(in, file)) break;
    }
    for (size_t i = 0; i < o.targets.size() && list.error().empty(); ++i)
        list.addEntry(o.targets[i], "--target", i + 1);
    if (!list.error().empty()) fprintf(stderr, "tagconf: %s\n", list.error().c_str());
    return list.error().empty();
}

int save(const ConfOptions& o) {
    std::vector<std::string> words{"GET:"};
    words.insert(words.end(), o.tags.begin(), o.tags.end());
    std::string error;
    auto request = tagpoll::buildRequest(words, error);
    if (!request) {
        fprintf(stderr, "tagconf: %s\n", error.c_str());
        return 1;
    }
    tagpoll::TargetList list(o.port);
    if (!collectTargets(o, list)) return 1;
    // A device named twice is saved once: apply refuses a file naming it
    // twice. Only the shard's targets are looked up, as plan and apply do.
    std::vector<std::string> notes;
    std::vector<tagpoll::Target> targets =
        o.shard.count > 1 ? oneTargetPerDevice(list, tagpoll::shardTargets(list.targets(), o.shard), notes)
                          : oneTargetPerDevice(list, notes);
    for (const std::string& note : notes) fprintf(stderr, "tagconf: %s\n", note.c_str());
    std::vector<SavedTarget> saved = readTargets(targets, request, o);
    int status = 0;
    for (const SavedTarget& s : saved) {
        for (const std::string& tag : s.unsaved)
            fprintf(stderr, "tagconf: %s: %s not saved: its text is not UTF-8, which YAML cannot hold\n",
                    s.target.label().c_str(), tag.c_str());
        if (!s.read)
            fprintf(stderr, "tagconf: %s: not saved: %s\n", s.target.label().c_str(), s.reason.c_str());
        if (!s.read || !s.unsaved.empty()) status = 1;
    }
    std::string text = stateText(saved);
    if (o.output.empty()) {
        fputs(text.c_str(), stdout);
        return fflush(stdout) == 0 ? status : 1;
    }
    std::ofstream out(o.output, std::ios::binary);
    out << text;
    out.close();
    if (!out) {
        fprintf(stderr, "tagconf: cannot write %s\n", o.output.c_str());
        return 1;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    ConfOptions o;
    if (int status = parseOptions(argc, argv, o); status >= 0) return status;
    try {
        return o.command == Command::Save ? save(o) : planOrApply(o);
    } catch (const std::system_error& e) {
        fprintf(stderr, "tagconf: %s\n", e.what());
        return 1;
    }
}
