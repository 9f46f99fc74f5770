// What plan and apply print: per target, in the state file's order, a line
// "TARGET<TAB>..." (or one JSON object), then the summary line.
#ifndef TAGCONF_CONF_REPORT_H
#define TAGCONF_CONF_REPORT_H

#include <cstdio>
#include <string>
#include <vector>

#include "conf_options.h"
#include "conf_run.h"

namespace tagconf {

struct ReportStyle {
    Format format = Format::Text;
    bool applied = false;  // apply's words, not plan's
    bool colour = false;   // the diff's old and new values coloured (a terminal)
};

// Every target's lines or object.
void printResults(FILE* out, const State& state, const std::vector<TargetResult>& results,
                  const ReportStyle& style);

// "12 targets: 9 unchanged, 3 to change (5 tags), 0 unreachable"; apply's
// "12 targets: 9 unchanged, 2 changed (4 tags), 1 mismatch, 0 unreachable".
std::string summaryLine(const std::vector<TargetResult>& results, bool applied);

// The exit status: plan 0 when nothing is to change, 2 when something is,
// 1 when a target was unreachable; apply 0 when every target converged.
int exitStatus(const std::vector<TargetResult>& results, bool applied);

}  // namespace tagconf

#endif
