#include "conf_save.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <set>
#include <system_error>

#include "conf_run.h"
#include "fd_stream.h"
#include "poll_options.h"
#include "request_words.h"
#include "same_device.h"
#include "save_file.h"
#include "shard.h"
#include "state_seal.h"
#include "tag_text.h"
#include "yaml_text.h"

namespace tagconf {

namespace {

// A tag apply could write back: one of the table's, with a value of its kind.
bool writable(const VTag& tag) {
    TagKind kind = kindOf(tag);
    return kind != TagKind::None &&
           (kind == TagKind::String ? tag.type == VTAG_STRING && tag.typeMatchesClass()
                                    : !valueWord(tag).empty());
}

void keep(SavedTarget& saved, const VMsg& reply) {
    std::set<uint8_t> ids;
    for (const VTag* t : reply)
        if (writable(*t) && ids.insert(t->tagId).second) saved.tags.emplace_back(t->clone());
}

void writeOverride(std::ostream& out, const SavedTarget& s) {
    out << "  " << yamlQuoted(s.target.label()) << ": {";
    const char* separator = "";
    for (const auto& tag : s.tags) {
        out << separator << tagById(tag->tagId)->name << ": " << stateWord(*tag);
        separator = ", ";
    }
    out << "}\n";
}

// The targets of -f and --target, duplicates read once; false after saying
// why on errors.
bool collectTargets(const ConfOptions& o, tagpoll::TargetList& list, FILE* errors) {
    for (const std::string& file : o.files) {
        std::string why;
        std::unique_ptr<FdIStream> in = openRegularFile(file, why);
        if (!in) {
            fprintf(errors, "tagconf: cannot read %s: %s\n", file.c_str(), why.c_str());
            return false;
        }
        if (!list.readStream(*in, file)) break;
        if (in->buf().error()) {
            fprintf(errors, "tagconf: cannot read %s: %s\n", file.c_str(), strerror(in->buf().error()));
            return false;
        }
    }
    for (size_t i = 0; i < o.targets.size() && list.error().empty(); ++i)
        list.addEntry(o.targets[i], "--target", i + 1);
    if (!list.error().empty()) fprintf(errors, "tagconf: %s\n", list.error().c_str());
    return list.error().empty();
}

}  // namespace

std::vector<SavedTarget> readTargets(const std::vector<tagpoll::Target>& targets,
                                     const std::shared_ptr<const VMsg>& request, const ConfOptions& options) {
    std::vector<SavedTarget> saved(targets.size());
    tagengine::Engine engine(engineOptions(options.timeoutSeconds, options.concurrency, options.rate));
    auto now = tagengine::Clock::now();
    for (size_t i = 0; i < targets.size(); ++i) {
        saved[i].target = targets[i];
        tagengine::Exchange x;
        x.target = targets[i].label();
        x.host = targets[i].host;
        x.port = targets[i].port;
        x.request = request;
        x.attemptTimeout = std::chrono::duration_cast<tagengine::Duration>(
            std::chrono::duration<double>(options.timeoutSeconds));
        x.retries = options.retries;
        x.budget = tagpoll::givingUpAfter(x.attemptTimeout, options.retries);
        x.done = [&saved, i](tagengine::Result&& r) {
            saved[i].read = r.status == tagengine::Status::Answered;
            if (saved[i].read)
                keep(saved[i], *r.reply);
            else
                saved[i].reason = unreachableReason(r);
        };
        engine.submit(std::move(x), now);
    }
    if (!tagengine::runUntilDone(engine)) throw std::system_error(errno, std::generic_category(), "epoll");
    return saved;
}

size_t writeState(std::ostream& out, const std::vector<SavedTarget>& saved) {
    size_t read = 0;
    for (const SavedTarget& s : saved) read += s.read;
    out << "# Saved by tagconf save from " << read << " targets; tagconf apply writes these values back.\n"
        << "# Sealed: a copy cut short lacks the closing \"end\" line and is refused.\n"
        << sealOpening(read) << "targets:\n";
    for (const SavedTarget& s : saved)
        if (s.read) out << "  - " << yamlQuoted(s.target.label()) << "\n";
    out << "overrides:\n";
    for (const SavedTarget& s : saved)
        if (s.read) writeOverride(out, s);
    out << sealClosing(read);
    return read;
}

int runSave(const ConfOptions& o, std::ostream& out, FILE* errors) {
    std::vector<std::string> words{"GET:"};
    words.insert(words.end(), o.tags.begin(), o.tags.end());
    std::string error;
    auto request = tagpoll::buildRequest(words, error);
    if (!request) {
        fprintf(errors, "tagconf: %s\n", error.c_str());
        return 1;
    }
    // A file that cannot be replaced is refused before a fleet is read.
    if (!o.output.empty() && !replaceable(o.output, error)) {
        fprintf(errors, "tagconf: %s\n", error.c_str());
        return 1;
    }
    tagpoll::TargetList list(o.port);
    if (!collectTargets(o, list, errors)) return 1;
    if (list.targets().empty()) {
        fprintf(errors, "tagconf: no targets to save\n");
        return 1;
    }
    // A device named twice is saved once: apply refuses a file naming it
    // twice. Only the shard's targets are looked up, as plan and apply do.
    std::vector<std::string> notes;
    std::vector<tagpoll::Target> targets =
        o.shard.count > 1 ? oneTargetPerDevice(list, tagpoll::shardTargets(list.targets(), o.shard), notes)
                          : oneTargetPerDevice(list, notes);
    for (const std::string& note : notes) fprintf(errors, "tagconf: %s\n", note.c_str());
    std::vector<SavedTarget> saved = readTargets(targets, request, o);
    size_t missing = 0;
    for (const SavedTarget& s : saved)
        if (!s.read) {
            fprintf(errors, "tagconf: %s: not saved: %s\n", s.target.label().c_str(), s.reason.c_str());
            ++missing;
        }
    std::string where = o.output.empty() ? "standard output" : o.output;
    if (missing == saved.size() || (missing && !o.partial)) {
        // A backup that lacks a device must not take a whole one's place.
        fprintf(errors, "tagconf: %zu of %zu targets not read: nothing written to %s%s\n", missing,
                saved.size(), where.c_str(), missing < saved.size() ? " (--partial writes the others)" : "");
        return 1;
    }
    int status = missing ? 1 : 0;
    if (o.output.empty()) {
        writeState(out, saved);
        return out.flush() ? status : 1;
    }
    // Past the file size limit a write fails with EFBIG instead of killing
    // the program half way.
    signal(SIGXFSZ, SIG_IGN);
    if (!replaceFile(
            o.output, [&](std::ostream& file) { writeState(file, saved); }, error)) {
        fprintf(errors, "tagconf: %s\n", error.c_str());
        return 1;
    }
    return status;
}

}  // namespace tagconf
