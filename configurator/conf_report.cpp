#include "conf_report.h"

#include <algorithm>

#include "tag_text.h"

namespace tagconf {

using json = nlohmann::ordered_json;

namespace {

constexpr const char RED[] = "\033[31m";
constexpr const char GREEN[] = "\033[32m";
constexpr const char PLAIN[] = "\033[0m";

std::string painted(const std::string& text, const char* colour, bool on) {
    return on ? colour + text + PLAIN : text;
}

// A tag a reply held twice with differing values has no one current value.
std::string heldText(const VTag* value, bool conflicting) {
    if (!value) return "(not held)";
    return conflicting ? "(differing copies, last " + shownValue(*value) + ")" : shownValue(*value);
}

std::string currentText(const TagChange& c) { return heldText(c.current.get(), c.conflicting); }

const char* outcomeWord(Outcome o) {
    switch (o) {
    case Outcome::Unchanged: return "unchanged";
    case Outcome::ToChange: return "to_change";
    case Outcome::Changed: return "changed";
    case Outcome::Mismatch: return "mismatch";
    case Outcome::Unreachable: return "unreachable";
    case Outcome::Unconfirmed: return "unconfirmed";
    case Outcome::Stopped: return "stopped";
    case Outcome::Stale: return "stale";
    }
    return "?";
}

void printText(FILE* out, const std::string& target, const TargetResult& r, const ReportStyle& style) {
    const char* t = target.c_str();
    switch (r.outcome) {
    case Outcome::Unchanged: fprintf(out, "%s\tunchanged\n", t); break;
    case Outcome::ToChange:
        for (const TagChange& c : r.changes)
            fprintf(out, "%s\t%s: %s -> %s\n", t, c.entry->name,
                    painted(currentText(c), RED, style.colour).c_str(),
                    painted(shownValue(*c.desired), GREEN, style.colour).c_str());
        break;
    case Outcome::Changed: fprintf(out, "%s\tchanged (%zu tags, verified)\n", t, r.changes.size()); break;
    case Outcome::Mismatch:
        for (const tagengine::Mismatch& m : r.mismatches)
            fprintf(out, "%s\tmismatch: %s wrote %s, read %s\n", t, tagById(m.wrote->tagId)->name,
                    shownValue(*m.wrote).c_str(), heldText(m.read.get(), m.conflicting).c_str());
        break;
    case Outcome::Unreachable: fprintf(out, "%s\tunreachable: %s\n", t, r.reason.c_str()); break;
    case Outcome::Unconfirmed: fprintf(out, "%s\tunconfirmed: %s\n", t, r.reason.c_str()); break;
    case Outcome::Stopped: fprintf(out, "%s\tstopped: %s\n", t, r.reason.c_str()); break;
    case Outcome::Stale:
        for (const StaleTag& s : r.stale)
            fprintf(out, "%s\tstale: %s held %s when planned, now %s\n", t, s.entry->name,
                    s.planned ? shownValue(*s.planned).c_str() : "(not held)",
                    s.now ? shownValue(*s.now).c_str() : "(not held)");
        break;
    }
}

json objectOf(const std::string& target, const TargetResult& r) {
    json j;
    j["target"] = target;
    j["result"] = outcomeWord(r.outcome);
    j["attempts"] = r.attempts;
    json changes = json::array();
    for (const TagChange& c : r.changes) {
        changes.push_back({{"tag", c.entry->name},
                           {"current", c.current ? jsonValue(*c.current) : json(nullptr)},
                           {"desired", jsonValue(*c.desired)}});
        if (c.conflicting) changes.back()["differing_copies"] = true;
    }
    j["changes"] = std::move(changes);
    if (r.outcome == Outcome::Mismatch) {
        json mismatches = json::array();
        for (const tagengine::Mismatch& m : r.mismatches) {
            mismatches.push_back({{"tag", tagById(m.wrote->tagId)->name},
                                  {"wrote", jsonValue(*m.wrote)},
                                  {"read", m.read ? jsonValue(*m.read) : json(nullptr)}});
            if (m.conflicting) mismatches.back()["differing_copies"] = true;
        }
        j["mismatches"] = std::move(mismatches);
    }
    if (r.outcome == Outcome::Unreachable || r.outcome == Outcome::Unconfirmed ||
        r.outcome == Outcome::Stopped)
        j["reason"] = r.reason;
    if (r.outcome == Outcome::Stale) {
        json stale = json::array();
        for (const StaleTag& s : r.stale)
            stale.push_back({{"tag", s.entry->name},
                             {"planned", s.planned ? jsonValue(*s.planned) : json(nullptr)},
                             {"now", s.now ? jsonValue(*s.now) : json(nullptr)}});
        j["stale"] = std::move(stale);
    }
    return j;
}

size_t countOf(const std::vector<TargetResult>& results, Outcome o) {
    return size_t(
        std::count_if(results.begin(), results.end(), [o](const TargetResult& r) { return r.outcome == o; }));
}

// The tags to change (plan) or changed (apply).
size_t tagCount(const std::vector<TargetResult>& results) {
    size_t tags = 0;
    for (const TargetResult& r : results)
        if (r.outcome == Outcome::ToChange || r.outcome == Outcome::Changed) tags += r.changes.size();
    return tags;
}

}  // namespace

void printResults(FILE* out, const State& state, const std::vector<TargetResult>& results,
                  const ReportStyle& style) {
    for (size_t i = 0; i < results.size(); ++i) {
        std::string target = state.targets[i].target.label();
        if (style.format == Format::Json)
            fprintf(
                out, "%s\n",
                objectOf(target, results[i]).dump(-1, ' ', false, json::error_handler_t::replace).c_str());
        else
            printText(out, target, results[i], style);
    }
}

std::string summaryLine(const std::vector<TargetResult>& results, const ReportStyle& style) {
    bool applied = style.applied;
    size_t tags = tagCount(results);
    std::string line = std::to_string(results.size()) +
                       " targets: " + std::to_string(countOf(results, Outcome::Unchanged)) + " unchanged, ";
    if (applied)
        line += std::to_string(countOf(results, Outcome::Changed)) + " changed (" + std::to_string(tags) +
                " tags), " + std::to_string(countOf(results, Outcome::Mismatch)) + " mismatch, ";
    else
        line += std::to_string(countOf(results, Outcome::ToChange)) + " to change (" + std::to_string(tags) +
                " tags), ";
    if (style.planned) line += std::to_string(countOf(results, Outcome::Stale)) + " stale, ";
    // Written but not read back, and left undone by a stop: said only when
    // there are any, so that the usual line stays as it was.
    if (size_t n = countOf(results, Outcome::Unconfirmed)) line += std::to_string(n) + " unconfirmed, ";
    line += std::to_string(countOf(results, Outcome::Unreachable)) + " unreachable";
    if (size_t n = countOf(results, Outcome::Stopped)) line += ", " + std::to_string(n) + " stopped";
    return line;
}

json summaryObject(const std::vector<TargetResult>& results, const ReportStyle& style, int status) {
    json j{{"summary", style.applied ? "apply" : "plan"}, {"targets", results.size()}};
    for (Outcome o : {Outcome::Unchanged, Outcome::ToChange, Outcome::Changed, Outcome::Mismatch,
                      Outcome::Stale, Outcome::Unconfirmed, Outcome::Unreachable, Outcome::Stopped})
        j[outcomeWord(o)] = countOf(results, o);
    j["tags"] = tagCount(results);
    j["exit_status"] = status;
    return j;
}

int exitStatus(const std::vector<TargetResult>& results, bool applied) {
    size_t unchanged = countOf(results, Outcome::Unchanged);
    if (applied) return unchanged + countOf(results, Outcome::Changed) == results.size() ? 0 : 1;
    if (countOf(results, Outcome::Unreachable) || countOf(results, Outcome::Stale)) return 1;
    return unchanged == results.size() ? 0 : 2;
}

}  // namespace tagconf
