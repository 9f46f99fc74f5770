// tagconf: desired state for a fleet of tag-protocol devices. plan reads
// every target and prints what differs from a state file (and may keep it
// as a plan file), apply writes what differs, or what a plan file planned,
// and reads it back, save writes what devices hold as a state file, validate
// checks a file without the network.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <system_error>

#include "conf_commands.h"
#include "conf_options.h"
#include "conf_save.h"
#include "request_words.h"
#include "state_file.h"

namespace {

using namespace tagconf;

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
    std::vector<SavedTarget> saved = readTargets(list.targets(), request, o);
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
        switch (o.command) {
        case Command::Save: return save(o);
        case Command::Validate: return validate(o, stdout, stderr);
        default: return planOrApply(o, stdout, stderr);
        }
    } catch (const std::system_error& e) {
        fprintf(stderr, "tagconf: %s\n", e.what());
        return 1;
    }
}
