#include "state_file.h"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <unordered_map>

#include "msg_request.h"
#include "tag_text.h"
#include "yaml_bounds.h"

namespace tagconf {

namespace {

// Thrown inside this file only, with the whole "FILE:LINE: reason".
struct Fault {
    std::string message;
};

std::string lowered(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return s;
}

// Bytes the tags take in one SET: all of a target's writes go out as one.
size_t setBytes(const TagList& tags) {
    size_t bytes = VMsg::encodedHeaderSize();
    for (const DesiredTag& t : tags) bytes += VMsg::encodedTagSize(t.value.get());
    return bytes;
}

class Reader {
public:
    Reader(const std::string& fileName, uint16_t defaultPort, const OpenFile& open)
        : fileName(fileName), defaultPort(defaultPort), open(open), list(defaultPort) {}
    void read(const YAML::Node& root, State& state);

private:
    [[noreturn]] void fail(const YAML::Node& node, const std::string& reason) const {
        throw Fault{fileName + ":" + std::to_string(node.Mark().line + 1) + ": " + reason};
    }
    std::string scalar(const YAML::Node& node, const std::string& what) const;
    template <typename Visit>
    void eachEntry(const YAML::Node& map, const std::string& what, Visit visit) const;
    void checkAdded();
    void readTargets(const YAML::Node& node);
    void readTargetsFile(const YAML::Node& node);
    TagList readTags(const YAML::Node& map, const TagList& base, const std::string& what) const;
    size_t overriddenTarget(const YAML::Node& key,
                            const std::unordered_map<std::string, size_t>& index) const;
    void readOverrides(const YAML::Node& map, State& state);

    const std::string& fileName;
    uint16_t defaultPort;
    const OpenFile& open;
    tagpoll::TargetList list;
};

std::string Reader::scalar(const YAML::Node& node, const std::string& what) const {
    if (!node.IsScalar()) fail(node, what + " must be a single value");
    return node.Scalar();
}

// Calls visit(key, key node, value) for each entry, refusing repeated keys,
// which the YAML library would otherwise keep both of.
template <typename Visit>
void Reader::eachEntry(const YAML::Node& map, const std::string& what, Visit visit) const {
    if (!map.IsMap()) fail(map, what + " must be a mapping");
    std::set<std::string> seen;
    for (const auto& entry : map) {
        std::string key = scalar(entry.first, "a key in " + what);
        if (!seen.insert(key).second)
            fail(entry.first, "\"" + printable(key) + "\" appears twice in " + what);
        visit(key, entry.first, entry.second);
    }
}

// The target list notes a repeated target and goes on; here it is a fault,
// since a second entry may stand for a device the writer meant.
void Reader::checkAdded() {
    if (!list.error().empty()) throw Fault{list.error()};
    if (list.warnings().empty()) return;
    std::string note = list.warnings().front();
    throw Fault{note.substr(0, note.rfind(", polled once"))};
}

void Reader::readTargets(const YAML::Node& node) {
    if (!node.IsSequence())
        fail(node, "targets must be a list of HOST[:PORT], [IPV6]:PORT or ADDRESS/N[:PORT]");
    for (const auto& item : node) {
        std::string entry = scalar(item, "a target");
        list.addEntry(entry, fileName, size_t(item.Mark().line) + 1);
        checkAdded();
    }
}

void Reader::readTargetsFile(const YAML::Node& node) {
    std::filesystem::path path(scalar(node, "targets_file"));
    if (path.is_relative()) path = std::filesystem::path(fileName).parent_path() / path;
    std::string why;
    std::unique_ptr<std::istream> in = open(path.string(), why);
    if (!in) fail(node, "cannot read " + printable(path.string()) + ": " + why);
    list.readStream(*in, printable(path.string()));
    checkAdded();
}

TagList Reader::readTags(const YAML::Node& map, const TagList& base, const std::string& what) const {
    TagList tags = base;
    std::set<uint8_t> ids;
    eachEntry(map, what, [&](const std::string& name, const YAML::Node& key, const YAML::Node& value) {
        const TagEntry* entry = tagByName(name.c_str());
        if (!entry) fail(key, "unknown tag " + printable(name));
        if (!ids.insert(entry->id).second) fail(key, std::string(entry->name) + " appears twice in " + what);
        if (value.IsNull()) fail(value, std::string(entry->name) + " has no value (an empty text is \"\")");
        std::string why;
        std::shared_ptr<const VTag> tag = parseValue(*entry, scalar(value, entry->name), why);
        if (!tag) fail(value, why);
        auto same =
            std::find_if(tags.begin(), tags.end(), [&](const DesiredTag& t) { return t.entry == entry; });
        if (same != tags.end())
            same->value = tag;
        else
            tags.push_back({entry, tag});
    });
    if (size_t bytes = setBytes(tags); bytes > DATAGRAM_SIZE)
        fail(map, "the tags of " + what + " take " + std::to_string(bytes) + " bytes, more than one " +
                      std::to_string(DATAGRAM_SIZE) + "-byte datagram holds");
    return tags;
}

// The index of the one target an override names.
size_t Reader::overriddenTarget(const YAML::Node& key,
                                const std::unordered_map<std::string, size_t>& index) const {
    tagpoll::TargetList one(defaultPort);
    if (!one.addEntry(scalar(key, "a target"), fileName, size_t(key.Mark().line) + 1))
        throw Fault{one.error()};
    if (one.targets().size() != 1) fail(key, "an override names one target, not a range");
    auto it = index.find(lowered(one.targets()[0].label()));
    if (it == index.end()) fail(key, "override for " + one.targets()[0].label() + ", which is not a target");
    return it->second;
}

void Reader::readOverrides(const YAML::Node& map, State& state) {
    std::unordered_map<size_t, int> overridden;  // target index -> line of its override
    const TagList& base = *state.targets.front().tags;
    std::unordered_map<std::string, size_t> byLabel;  // lowered, as the target list compares them
    for (size_t i = 0; i < state.targets.size(); ++i)
        byLabel.emplace(lowered(state.targets[i].target.label()), i);
    eachEntry(map, "overrides", [&](const std::string&, const YAML::Node& key, const YAML::Node& value) {
        size_t index = overriddenTarget(key, byLabel);
        auto [it, fresh] = overridden.emplace(index, key.Mark().line + 1);
        TargetState& target = state.targets[index];
        if (!fresh)
            fail(key, "second override for " + target.target.label() + " (the first is on line " +
                          std::to_string(it->second) + ")");
        target.tags = std::make_shared<TagList>(readTags(value, base, target.target.label()));
    });
}

void Reader::read(const YAML::Node& root, State& state) {
    if (!root.IsDefined() || root.IsNull()) throw Fault{fileName + ":1: the file is empty"};
    std::map<std::string, YAML::Node> parts;
    eachEntry(root, "the top level",
              [&](const std::string& key, const YAML::Node& keyNode, const YAML::Node& value) {
                  if (key != "targets" && key != "targets_file" && key != "tags" && key != "overrides")
                      fail(keyNode, "unknown key \"" + printable(key) +
                                        "\" (known: targets, targets_file, tags, overrides)");
                  parts[key] = value;
              });
    if (parts.contains("targets")) readTargets(parts["targets"]);
    if (parts.contains("targets_file")) readTargetsFile(parts["targets_file"]);
    if (list.targets().empty()) fail(root, "no targets: give targets, targets_file or both");
    if (!parts.contains("tags") && !parts.contains("overrides"))
        fail(root, "no tags: give tags, overrides or both");
    auto common = std::make_shared<const TagList>(parts.contains("tags") ? readTags(parts["tags"], {}, "tags")
                                                                         : TagList{});
    state.targets.clear();
    state.targets.reserve(list.targets().size());
    for (const tagpoll::Target& t : list.targets()) state.targets.push_back({t, common, list.whereOf(t)});
    if (parts.contains("overrides")) readOverrides(parts["overrides"], state);
}

}  // namespace

bool parseState(const std::string& text, const std::string& fileName, uint16_t defaultPort,
                const OpenFile& open, State& state, std::string& error) {
    state = State{};
    try {
        if (text.size() > MAX_STATE_BYTES) throw Fault{fileName + ":1: larger than 4 MiB"};
        int line = 1;
        std::string bound = yamlBoundsFault(text, line);
        if (!bound.empty()) throw Fault{fileName + ":" + std::to_string(line) + ": " + bound};
        Reader(fileName, defaultPort, open).read(YAML::Load(text), state);
    } catch (const Fault& fault) {
        error = fault.message;
        state = State{};
        return false;
    } catch (const YAML::Exception& e) {
        // The parser quotes what it choked on: a control byte or a line break
        // of the file must not reach the message as it is.
        error = fileName + ":" + std::to_string(std::max(e.mark.line, 0) + 1) + ": " + printable(e.msg);
        state = State{};
        return false;
    }
    return true;
}

bool loadState(const std::string& path, uint16_t defaultPort, State& state, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path + ": " + strerror(errno);
        return false;
    }
    std::string text(MAX_STATE_BYTES + 1, '\0');
    in.read(text.data(), std::streamsize(text.size()));
    text.resize(size_t(in.gcount()));
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    auto openFile = [](const std::string& name, std::string& why) -> std::unique_ptr<std::istream> {
        auto file = std::make_unique<std::ifstream>(name);
        if (*file) return file;
        why = strerror(errno);
        return nullptr;
    };
    return parseState(text, path, defaultPort, openFile, state, error);
}

}  // namespace tagconf
