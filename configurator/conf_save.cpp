#include "conf_save.h"

#include <yaml-cpp/yaml.h>

#include <cerrno>
#include <set>
#include <system_error>

#include "conf_run.h"
#include "poll_options.h"
#include "tag_text.h"

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
    for (const VTag* t : reply) {
        if (!writable(*t) || !ids.insert(t->tagId).second) continue;
        if (kindOf(*t) == TagKind::String && !isUtf8(static_cast<const VTagString*>(t)->text()))
            saved.unsaved.emplace_back(tagById(t->tagId)->name);
        else
            saved.tags.emplace_back(t->clone());
    }
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
        x.budget = x.attemptTimeout * tagpoll::TIMEOUTS_BEFORE_GIVING_UP;
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

std::string stateText(const std::vector<SavedTarget>& saved) {
    YAML::Emitter out;
    size_t read = 0;
    for (const SavedTarget& s : saved) read += s.read;
    out << YAML::Comment("Saved by tagconf save from " + std::to_string(read) +
                         " targets; tagconf apply writes these values back.");
    out << YAML::BeginMap << YAML::Key << "targets" << YAML::Value << YAML::BeginSeq;
    for (const SavedTarget& s : saved)
        if (s.read) out << s.target.label();
    out << YAML::EndSeq << YAML::Key << "overrides" << YAML::Value << YAML::BeginMap;
    for (const SavedTarget& s : saved) {
        if (!s.read) continue;
        out << YAML::Key << s.target.label() << YAML::Value << YAML::Flow << YAML::BeginMap;
        for (const auto& tag : s.tags) {
            out << YAML::Key << tagById(tag->tagId)->name << YAML::Value;
            // Quoted, so that a text such as "0A", "null" or "" reads back as
            // the text it is.
            if (kindOf(*tag) == TagKind::String)
                out << YAML::DoubleQuoted << valueWord(*tag);
            else
                out << valueWord(*tag);
        }
        out << YAML::EndMap;
    }
    out << YAML::EndMap << YAML::EndMap;
    return std::string(out.c_str()) + "\n";
}

}  // namespace tagconf
