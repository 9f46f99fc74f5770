// What plan and apply print: per target, in the state file's order, a line
// "TARGET<TAB>..." (or one JSON object), then the summary line (or object).
#ifndef TAGCONF_CONF_REPORT_H
#define TAGCONF_CONF_REPORT_H

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "conf_options.h"
#include "conf_run.h"

namespace tagconf {

struct ReportStyle {
    Format format = Format::Text;
    bool applied = false;  // apply's words, not plan's
    bool colour = false;   // the diff's old and new values coloured (a terminal)
    bool planned = false;  // from a plan file: targets may be stale, and the summary counts them
};

// Every target's lines or object.
void printResults(FILE* out, const State& state, const std::vector<TargetResult>& results,
                  const ReportStyle& style);

// "12 targets: 9 unchanged, 3 to change (5 tags), 0 unreachable"; apply's
// "12 targets: 9 unchanged, 2 changed (4 tags), 1 mismatch, 0 unreachable".
// From a plan file, "N stale, " stands before the unreachable count.
std::string summaryLine(const std::vector<TargetResult>& results, const ReportStyle& style);

// The summary as the last JSON object: "summary" ("plan" or "apply"),
// "targets", a count per result word ("unchanged", "to_change", "changed",
// "mismatch", "stale", "unreachable"), "tags" (to change, or changed), and
// "exit_status", the program's.
nlohmann::ordered_json summaryObject(const std::vector<TargetResult>& results, const ReportStyle& style,
                                     int exitStatus);

// The exit status: plan 0 when nothing is to change, 2 when something is,
// 1 when a target was unreachable or stale; apply 0 when every target
// converged.
int exitStatus(const std::vector<TargetResult>& results, bool applied);

}  // namespace tagconf

#endif
