// Plan files: what plan --out read from each target and what apply of the
// plan will write, so that what was reviewed is what is applied. JSON lines:
//
//   {"tagconf_plan":1,"state_file":"site.yml","port":60000,"targets":2}
//   {"target":"127.0.0.1:60000","tags":[{"tag":"TAG_DEV_LABEL","held":"Old","write":"New"},
//                                       {"tag":"TAG_DEV_STATE","held":"1A"}]}
//   {"target":"127.0.0.1:60001","tags":[...]}
//   {"sha256":"..."}
//
// Every tag of the state is recorded with what the target held (in
// plan_value.h's exact notation, null when the reply lacked it); the tags
// that differed also with the value to write. The last line is the SHA-256
// of every byte before it, so that a plan cut short or altered is refused
// whole.
#ifndef TAGCONF_PLAN_FILE_H
#define TAGCONF_PLAN_FILE_H

#include <cstdint>
#include <cstdio>
#include <istream>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "conf_run.h"
#include "state.h"

namespace tagconf {

// A plan line longer than this is refused unread: one target's tags fit a
// 1024-byte datagram, which even written out twice in escapes stays far below.
constexpr size_t MAX_PLAN_LINE = size_t{64} << 10;

struct PlanInfo {
    std::string stateFile;  // as plan was given it
    uint16_t port = 60000;  // plan's -p, which made the targets' ports
};

// Whether a file starting with these bytes is a plan file (and is to be read
// as one, whole or not at all), not a state file.
bool isPlanText(std::string_view start);

// Writes the plan of a run of plan over the state (every result Unchanged
// or ToChange, in the state's order); a failed write shows in out's state.
void writePlan(std::ostream& out, const PlanInfo& info, const State& state,
               const std::vector<TargetResult>& results);

// The last line of a plan whose other lines are body: its seal.
std::string sealLine(std::string_view body);

// Reads a plan file into a state whose targets carry what was held (held)
// and what to write (tags). False with "FILE:LINE: reason" in error, and the
// state empty, for any fault, a wrong checksum among them.
bool readPlan(std::istream& in, const std::string& fileName, State& state, PlanInfo& info,
              std::string& error);

}  // namespace tagconf

#endif
