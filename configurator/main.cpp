// tagconf: desired state for a fleet of tag-protocol devices. plan reads
// every target and prints what differs from a state file (and may keep it
// as a plan file), apply writes what differs, or what a plan file planned,
// and reads it back, save writes what devices hold as a state file, validate
// checks a file without the network.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <system_error>

#include "conf_commands.h"
#include "conf_options.h"
#include "conf_save.h"
#include "state_file.h"

using namespace tagconf;

int main(int argc, char** argv) {
    ConfOptions o;
    if (int status = parseOptions(argc, argv, o); status >= 0) return status;
    try {
        switch (o.command) {
        case Command::Save: return runSave(o, std::cout, stderr);
        case Command::Validate: return validate(o, stdout, stderr);
        default: return planOrApply(o, stdout, stderr);
        }
    } catch (const std::system_error& e) {
        fprintf(stderr, "tagconf: %s\n", e.what());
        return 1;
    }
}
