// The commands plan, apply and validate as the program runs them, so that
// tests call the very code: results and summaries on out, faults on err.
#ifndef TAGCONF_CONF_COMMANDS_H
#define TAGCONF_CONF_COMMANDS_H

#include <cstdio>
#include <string>

#include "conf_options.h"
#include "plan_file.h"
#include "state.h"

namespace tagconf {

// Reads a state file, or a plan file (told by its first bytes, not its
// name), with --limit applied. False with the reason, nothing sent or
// looked up on the network either way.
bool loadInput(const ConfOptions& options, State& state, bool& isPlan, PlanInfo& plan, std::string& error);

// plan, apply or apply --dry-run; the exit status.
int planOrApply(const ConfOptions& options, FILE* out, FILE* err);

// validate: "FILE: valid, N targets" on out and 0, or the fault on err and 1.
int validate(const ConfOptions& options, FILE* out, FILE* err);

}  // namespace tagconf

#endif
