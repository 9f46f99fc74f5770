#include "state_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <unordered_map>

#include "fd_stream.h"
#include "msg_request.h"
#include "state_seal.h"
#include "tag_text.h"
#include "tagyaml.h"

namespace tagconf {

namespace {

using tagyaml::Node;

// A state file nests three levels; the rest is room for mistakes to be
// named as such rather than as a bound.
constexpr tagyaml::Bounds STATE_YAML_BOUNDS{MAX_STATE_BYTES, 16};

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
    void read(const Node& root, State& state);

private:
    [[noreturn]] void fail(const Node& node, const std::string& reason) const {
        throw Fault{fileName + ":" + std::to_string(node.line()) + ": " + reason};
    }
    std::string scalar(const Node& node, const std::string& what) const;
    template <typename Visit>
    void eachEntry(const Node& map, const std::string& what, Visit visit) const;
    void checkAdded();
    void readTargets(const Node& node);
    void readTargetsFile(const Node& node);
    std::shared_ptr<const VTag> value(const TagEntry& entry, const Node& node);
    TagList readTags(const Node& map, const TagList& base, const std::string& what);
    size_t overriddenTarget(const Node& key, const std::unordered_map<std::string, size_t>& index) const;
    void readOverrides(const Node& map, State& state);
    void checkSeal(const std::map<std::string, Node>& parts, const State& state) const;

    const std::string& fileName;
    uint16_t defaultPort;
    const OpenFile& open;
    tagpoll::TargetList list;
    // Values already read, by tag id, how they were written and their text.
    std::unordered_map<std::string, std::shared_ptr<const VTag>> values;
};

// A null is no value: "targets_file:" names no file.
std::string Reader::scalar(const Node& node, const std::string& what) const {
    if (!node.isScalar() || node.isNull()) fail(node, what + " must be a single value");
    return std::string(node.text());
}

// Calls visit(key, key node, value) for each entry, refusing repeated keys,
// which the YAML loader keeps both of.
template <typename Visit>
void Reader::eachEntry(const Node& map, const std::string& what, Visit visit) const {
    if (!map.isMapping()) fail(map, what + " must be a mapping");
    std::set<std::string> seen;
    for (const tagyaml::Pair& entry : map.pairs()) {
        std::string key = scalar(entry.key, "a key in " + what);
        if (!seen.insert(key).second) fail(entry.key, "\"" + printable(key) + "\" appears twice in " + what);
        visit(key, entry.key, entry.value);
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

void Reader::readTargets(const Node& node) {
    if (!node.isSequence())
        fail(node, "targets must be a list of HOST[:PORT], [IPV6]:PORT or ADDRESS/N[:PORT]");
    for (const Node& item : node.items()) {
        std::string entry = scalar(item, "a target");
        list.addEntry(entry, fileName, size_t(item.line()));
        checkAdded();
    }
}

void Reader::readTargetsFile(const Node& node) {
    std::filesystem::path path(scalar(node, "targets_file"));
    if (path.is_relative()) path = std::filesystem::path(fileName).parent_path() / path;
    std::string why;
    std::unique_ptr<std::istream> in = open(path.string(), why);
    if (!in) fail(node, "cannot read " + printable(path.string()) + ": " + why);
    list.readStream(*in, printable(path.string()));
    checkAdded();
}

// Values written alike share one tag: a saved fleet repeats most of its
// values device after device. The first few thousand distinct ones are
// kept, enough for those that repeat; the rest (labels, ids) are seen once.
std::shared_ptr<const VTag> Reader::value(const TagEntry& entry, const Node& node) {
    constexpr size_t MAX_SHARED_VALUES = 4096;
    std::string text = scalar(node, entry.name);
    std::string key = std::string{char(entry.id), char(node.style())} + std::string(node.tag()) + '\0' + text;
    if (auto it = values.find(key); it != values.end()) return it->second;
    std::string why;
    std::shared_ptr<const VTag> tag = parseValue(entry, text, why, node.tag());
    if (!tag) fail(node, why);
    if (values.size() < MAX_SHARED_VALUES) values.emplace(std::move(key), tag);
    return tag;
}

TagList Reader::readTags(const Node& map, const TagList& base, const std::string& what) {
    // Sized once: a saved fleet holds one such list per target.
    TagList tags;
    tags.reserve(base.size() + map.size());
    tags = base;
    std::set<uint8_t> ids;
    eachEntry(map, what, [&](const std::string& name, const Node& key, const Node& value) {
        const TagEntry* entry = tagByName(name.c_str());
        if (!entry) fail(key, "unknown tag " + printable(name));
        if (!ids.insert(entry->id).second) fail(key, std::string(entry->name) + " appears twice in " + what);
        if (value.isNull()) fail(value, std::string(entry->name) + " has no value (an empty text is \"\")");
        std::shared_ptr<const VTag> tag = this->value(*entry, value);
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
size_t Reader::overriddenTarget(const Node& key, const std::unordered_map<std::string, size_t>& index) const {
    tagpoll::TargetList one(defaultPort);
    if (!one.addEntry(scalar(key, "a target"), fileName, size_t(key.line()))) throw Fault{one.error()};
    if (one.targets().size() != 1) fail(key, "an override names one target, not a range");
    auto it = index.find(lowered(one.targets()[0].label()));
    if (it == index.end()) fail(key, "override for " + one.targets()[0].label() + ", which is not a target");
    return it->second;
}

void Reader::readOverrides(const Node& map, State& state) {
    std::unordered_map<size_t, int> overridden;  // target index -> line of its override
    const TagList& base = *state.targets.front().tags;
    std::unordered_map<std::string, size_t> byLabel;  // lowered, as the target list compares them
    for (size_t i = 0; i < state.targets.size(); ++i)
        byLabel.emplace(lowered(state.targets[i].target.label()), i);
    eachEntry(map, "overrides", [&](const std::string&, const Node& key, const Node& value) {
        size_t index = overriddenTarget(key, byLabel);
        auto [it, fresh] = overridden.emplace(index, key.line());
        TargetState& target = state.targets[index];
        if (!fresh)
            fail(key, "second override for " + target.target.label() + " (the first is on line " +
                          std::to_string(it->second) + ")");
        target.tags = std::make_shared<TagList>(readTags(value, base, target.target.label()));
    });
}

// A saved file's count against what it holds (state_seal.h).
void Reader::checkSeal(const std::map<std::string, Node>& parts, const State& state) const {
    SealKeys keys;
    if (auto it = parts.find("saved"); it != parts.end()) {
        keys.saved = scalar(it->second, "saved");
        keys.savedLine = it->second.line();
    }
    if (auto it = parts.find("end"); it != parts.end()) {
        keys.end = scalar(it->second, "end");
        keys.endLine = it->second.line();
    }
    size_t overrides = parts.contains("overrides") ? parts.at("overrides").size() : 0;
    int line = 1;
    std::string fault = sealFault(keys, state.targets.size(), overrides, line);
    if (!fault.empty()) throw Fault{fileName + ":" + std::to_string(line) + ": " + fault};
}

void Reader::read(const Node& root, State& state) {
    if (root.isNull()) throw Fault{fileName + ":1: the file is empty"};
    std::map<std::string, Node> parts;
    eachEntry(root, "the top level", [&](const std::string& key, const Node& keyNode, const Node& value) {
        if (key != "targets" && key != "targets_file" && key != "tags" && key != "overrides" &&
            key != "saved" && key != "end")
            fail(keyNode, "unknown key \"" + printable(key) +
                              "\" (known: targets, targets_file, tags, overrides, saved, end)");
        parts.emplace(key, value);
    });
    if (parts.contains("targets")) readTargets(parts.at("targets"));
    if (parts.contains("targets_file")) readTargetsFile(parts.at("targets_file"));
    if (list.targets().empty()) fail(root, "no targets: give targets, targets_file or both");
    if (!parts.contains("tags") && !parts.contains("overrides"))
        fail(root, "no tags: give tags, overrides or both");
    auto common = std::make_shared<const TagList>(
        parts.contains("tags") ? readTags(parts.at("tags"), {}, "tags") : TagList{});
    state.targets.clear();
    state.targets.reserve(list.targets().size());
    for (size_t i = 0; i < list.targets().size(); ++i)
        state.targets.push_back({list.targets()[i], common, list.whereAt(i)});
    if (parts.contains("overrides")) readOverrides(parts.at("overrides"), state);
    checkSeal(parts, state);
}

// Reads the loaded document into state; the document may go as soon as
// this returns, since the State holds copies of all it needs.
bool readState(const tagyaml::Document& doc, const std::string& fileName, uint16_t defaultPort,
               const OpenFile& open, State& state, std::string& error) {
    try {
        Reader(fileName, defaultPort, open).read(doc.root(), state);
    } catch (const Fault& fault) {
        error = fault.message;
        state = State{};
        return false;
    }
    return true;
}

// The file's bytes, read at their size as fstat tells it: a text grown by
// doubling would cost up to twice itself. One past the bound is read one
// byte over it, for the loader to refuse.
bool readText(FdIStream& in, std::string& text, std::string& why) {
    struct stat st {};
    if (fstat(in.buf().fd(), &st) == 0 && st.st_size > 0)
        text.reserve(std::min(size_t(st.st_size), MAX_STATE_BYTES + 1));
    char chunk[65536];
    while (text.size() <= MAX_STATE_BYTES && in.read(chunk, sizeof chunk).gcount() > 0)
        text.append(chunk, size_t(in.gcount()));
    if (!in.bad() && in.buf().error() == 0) return true;
    why = strerror(in.buf().error() ? in.buf().error() : EIO);
    return false;
}

// A saved file cut short, named as such before the parser makes anything of
// what is left (state_seal.h).
bool whole(const std::string& text, const std::string& fileName, std::string& error) {
    int line = 1;
    std::string cut = cutFault(text, line);
    if (cut.empty()) return true;
    error = fileName + ":" + std::to_string(line) + ": " + cut;
    return false;
}

}  // namespace

bool parseState(const std::string& text, const std::string& fileName, uint16_t defaultPort,
                const OpenFile& open, State& state, std::string& error) {
    state = State{};
    if (!whole(text, fileName, error)) return false;
    tagyaml::Document doc;
    if (!tagyaml::load(text, fileName, STATE_YAML_BOUNDS, doc, error)) return false;
    return readState(doc, fileName, defaultPort, open, state, error);
}

bool loadState(const std::string& path, uint16_t defaultPort, State& state, std::string& error) {
    state = State{};
    std::string why;
    std::unique_ptr<FdIStream> in = openRegularFile(path, why);
    if (!in) {
        error = "cannot read " + path + ": " + why;
        return false;
    }
    std::string text;
    if (!readText(*in, text, why)) {
        error = "cannot read " + path + ": " + why;
        return false;
    }
    if (!whole(text, path, error)) return false;
    auto openFile = [](const std::string& name, std::string& why) -> std::unique_ptr<std::istream> {
        return openRegularFile(name, why);
    };
    // Each of the text, the document and the State is freed as soon as the
    // next is made: the run holds the State alone.
    tagyaml::Document doc;
    if (!tagyaml::load(text, path, STATE_YAML_BOUNDS, doc, error)) return false;
    std::string().swap(text);
    return readState(doc, path, defaultPort, openFile, state, error);
}

}  // namespace tagconf
