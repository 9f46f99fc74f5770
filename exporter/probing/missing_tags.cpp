#include "missing_tags.h"

#include <algorithm>

namespace exporter {

std::string MissingTags::keyOf(const std::string& target, const std::vector<std::string>& modules) {
    // Module names hold no spaces and targets no '?': the key cannot be
    // read two ways.
    std::string key = target + "?";
    for (const std::string& module : modules) key += " " + module;
    return key;
}

std::vector<uint8_t> MissingTags::reduce(const std::string& key, const std::vector<uint8_t>& tags,
                                         Clock::time_point now) {
    std::lock_guard guard(lock);
    auto found = entries.find(key);
    if (found == entries.end()) return tags;
    if (now - found->second.learnt >= rememberFor) {
        entries.erase(found);
        return tags;
    }
    std::vector<uint8_t> kept;
    for (uint8_t id : tags)
        if (std::ranges::find(found->second.ids, id) == found->second.ids.end()) kept.push_back(id);
    return kept.empty() ? tags : kept;
}

void MissingTags::learn(const std::string& key, const std::vector<uint8_t>& notHeld, Clock::time_point now) {
    if (notHeld.empty()) return;
    std::lock_guard guard(lock);
    auto found = entries.find(key);
    if (found != entries.end() && now - found->second.learnt >= rememberFor) {
        entries.erase(found);
        found = entries.end();
    }
    if (found == entries.end()) {
        makeRoom(now);
        found = entries.emplace(key, Entry{{}, now}).first;
    }
    std::vector<uint8_t>& ids = found->second.ids;
    for (uint8_t id : notHeld)
        if (std::ranges::find(ids, id) == ids.end()) ids.push_back(id);
}

// Under lock: the expired entries go first, then, if still full, the oldest.
void MissingTags::makeRoom(Clock::time_point now) {
    if (entries.size() < maxEntries) return;
    std::erase_if(entries, [&](const auto& entry) { return now - entry.second.learnt >= rememberFor; });
    if (entries.size() < maxEntries || entries.empty()) return;
    auto oldest =
        std::ranges::min_element(entries, {}, [](const auto& entry) { return entry.second.learnt; });
    entries.erase(oldest);
}

void MissingTags::forgetAll() {
    std::lock_guard guard(lock);
    entries.clear();
}

size_t MissingTags::size() const {
    std::lock_guard guard(lock);
    return entries.size();
}

}  // namespace exporter
