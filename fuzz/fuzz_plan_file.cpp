// Plan files: reading never faults; it either refuses with one
// "FILE:LINE: reason" line and no targets, or gives distinct targets whose
// writes are values of their tags' kinds, among the tags read, within one
// datagram. The input is sealed afresh half of the time (its last line
// replaced by the right checksum), so that the checks behind the seal are
// reached too.
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

#include "plan_file.h"
#include "plan_value.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    if (!text.empty() && text[0] == 'S') {
        text.erase(0, 1);
        size_t last = text.rfind('\n', text.size() >= 2 ? text.size() - 2 : 0);
        text = (last == std::string::npos ? std::string() : text.substr(0, last + 1));
        text += tagconf::sealLine(text);
    }
    std::istringstream in(text);
    tagconf::State state;
    tagconf::PlanInfo info;
    std::string error;
    if (!tagconf::readPlan(in, "p.plan", state, info, error)) {
        if (error.rfind("p.plan:", 0) != 0 || error.find('\n') != std::string::npos) abort();
        if (!state.targets.empty()) abort();
        return 0;
    }
    std::set<std::string> labels;
    for (const tagconf::TargetState& t : state.targets) {
        if (!labels.insert(t.target.label()).second || !t.held || !t.tags) abort();
        std::set<uint8_t> read;
        for (const tagconf::DesiredTag& h : *t.held) read.insert(h.entry->id);
        size_t bytes = VMsg::encodedHeaderSize();
        for (const tagconf::DesiredTag& w : *t.tags) {
            if (!read.contains(w.entry->id) || w.value->tagId != w.entry->id) abort();
            if (tagconf::planValue(*w.value).is_object()) abort();
            bytes += VMsg::encodedTagSize(w.value.get());
        }
        if (bytes > 1024) abort();
    }
    return 0;
}
