#include "plan_file.h"

#include <gnutls/crypto.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <set>
#include <unordered_map>

#include "msg_request.h"
#include "plan_value.h"
#include "tag_text.h"

namespace tagconf {

using json = nlohmann::ordered_json;

namespace {

constexpr std::string_view MARK = "{\"tagconf_plan\":";
constexpr int VERSION = 1;

// SHA-256 over the lines as they are written or read.
class Digest {
public:
    Digest() { gnutls_hash_init(&hash, GNUTLS_DIG_SHA256); }
    ~Digest() { gnutls_hash_deinit(hash, nullptr); }
    Digest(const Digest&) = delete;
    Digest& operator=(const Digest&) = delete;
    void add(std::string_view bytes) { gnutls_hash(hash, bytes.data(), bytes.size()); }
    std::string hex() {
        unsigned char sum[32];
        gnutls_hash_output(hash, sum);
        std::string text;
        for (unsigned char c : sum) {
            text += "0123456789abcdef"[c >> 4];
            text += "0123456789abcdef"[c & 0xF];
        }
        return text;
    }

private:
    gnutls_hash_hd_t hash{};
};

std::string dumped(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

json targetLine(const TargetState& target, const TargetResult& result) {
    json tags = json::array();
    for (const DesiredTag& d : *target.tags) {
        auto change = std::find_if(result.changes.begin(), result.changes.end(),
                                   [&d](const TagChange& c) { return c.entry == d.entry; });
        json tag{{"tag", d.entry->name}};
        if (change == result.changes.end()) {
            tag["held"] = planValue(*d.value);
        } else {
            tag["held"] = change->current ? planValue(*change->current) : json(nullptr);
            tag["write"] = planValue(*change->desired);
        }
        tags.push_back(std::move(tag));
    }
    return {{"target", target.target.label()}, {"tags", std::move(tags)}};
}

// Thrown inside this file only, with the whole "FILE:LINE: reason".
struct Fault {
    std::string message;
};

class Reader {
public:
    Reader(std::istream& in, const std::string& fileName) : in(in), fileName(fileName) {}
    void read(State& state, PlanInfo& info);

private:
    [[noreturn]] void fail(const std::string& reason) const {
        throw Fault{fileName + ":" + std::to_string(line) + ": " + reason};
    }
    bool nextLine();
    json lineObject(std::initializer_list<const char*> keys);
    void readHeader(PlanInfo& info);
    TargetState readTarget(tagpoll::TargetList& list);
    void readTag(const json& tag, std::set<uint8_t>& ids, TagList& writes, HeldList& held);
    std::shared_ptr<const VTag> interned(const TagEntry& entry, const json& value);
    void readChecksum();

    std::istream& in;
    const std::string& fileName;
    std::string text;
    size_t line = 0;
    size_t targets = 0;
    Digest digest;
    // Values and write lists that many targets share are held once, so that
    // a plan of a fleet takes little more memory than its state file.
    std::unordered_map<std::string, std::shared_ptr<const VTag>> values;
    std::unordered_map<std::string, std::shared_ptr<const TagList>> writeLists;
};

// The tag for the value, the same object for every target that holds it;
// null with why when it is not a value for the entry.
std::shared_ptr<const VTag> Reader::interned(const TagEntry& entry, const json& value) {
    std::string key = char(entry.id) + value.dump(-1, ' ', false, json::error_handler_t::replace);
    auto it = values.find(key);
    if (it != values.end()) return it->second;
    std::string why;
    std::shared_ptr<const VTag> tag = tagOfPlanValue(entry, value, why);
    if (!tag) fail(why);
    return values.emplace(std::move(key), std::move(tag)).first->second;
}

// The next line, without its line break; false at the end of the file.
bool Reader::nextLine() {
    text.clear();
    ++line;
    std::streambuf* buf = in.rdbuf();
    for (int c = buf->sbumpc(); c != '\n'; c = buf->sbumpc()) {
        if (c == std::char_traits<char>::eof()) {
            if (text.empty()) return false;
            fail("the last line has no line break: the plan was cut short");
        }
        if (text.size() == MAX_PLAN_LINE) fail("longer than " + std::to_string(MAX_PLAN_LINE) + " bytes");
        text += char(c);
    }
    return true;
}

// The line as a JSON object with exactly these keys.
json Reader::lineObject(std::initializer_list<const char*> keys) {
    json j = json::parse(text, nullptr, false);
    if (j.is_discarded() || !j.is_object()) fail("not a JSON object");
    for (const char* key : keys)
        if (!j.contains(key)) fail(std::string("no \"") + key + "\"");
    if (j.size() != keys.size()) fail("unknown keys");
    return j;
}

void Reader::readHeader(PlanInfo& info) {
    if (!nextLine() || !isPlanText(text)) fail("not a plan file");
    digest.add(text + "\n");
    json j = lineObject({"tagconf_plan", "state_file", "port", "targets"});
    if (j["tagconf_plan"] != VERSION) fail("a plan of another version of tagconf");
    if (!j["state_file"].is_string() || !j["port"].is_number_unsigned() || j["port"] == 0 ||
        j["port"] > 65535 || !j["targets"].is_number_unsigned() || j["targets"] > tagpoll::MAX_TARGETS)
        fail("a bad first line");
    info.stateFile = j["state_file"];
    info.port = j["port"];
    targets = j["targets"];
}

void Reader::readTag(const json& tag, std::set<uint8_t>& ids, TagList& writes, HeldList& held) {
    if (!tag.is_object() || !tag.contains("tag") || !tag.contains("held") || !tag["tag"].is_string() ||
        tag.size() != 2u + tag.contains("write"))
        fail("a tag must be {\"tag\", \"held\"[, \"write\"]}");
    const TagEntry* entry = tagByName(tag["tag"].get_ref<const std::string&>().c_str());
    if (!entry || entry->kind == TagKind::None) fail("unknown or unwritable tag");
    if (!ids.insert(entry->id).second) fail(std::string(entry->name) + " appears twice");
    held.push_back({entry, tag["held"].is_null() ? nullptr : interned(*entry, tag["held"])});
    if (!tag.contains("write")) return;
    std::shared_ptr<const VTag> write = interned(*entry, tag["write"]);
    // Only a value of the tag's kind is ever planned as a write.
    if (planValue(*write).is_object())
        fail("the write of " + std::string(entry->name) + " is not a value of its kind");
    writes.push_back({entry, write});
}

TargetState Reader::readTarget(tagpoll::TargetList& list) {
    if (!nextLine())
        fail("the plan ends before its " + std::to_string(targets) + " targets: it was cut short");
    digest.add(text + "\n");
    json j = lineObject({"target", "tags"});
    if (!j["target"].is_string() || !j["tags"].is_array()) fail("a bad target line");
    const std::string& label = j["target"].get_ref<const std::string&>();
    size_t before = list.targets().size();
    if (!list.addEntry(label, fileName, line)) throw Fault{list.error()};
    if (list.targets().size() != before + 1 || list.targets().back().label() != label)
        fail("\"" + printable(label) + "\" is not one target as plan writes it, or a second time");
    TagList writes;
    auto held = std::make_shared<HeldList>();
    std::set<uint8_t> ids;
    for (const json& tag : j["tags"]) readTag(tag, ids, writes, *held);
    held->shrink_to_fit();
    size_t bytes = VMsg::encodedHeaderSize();
    std::string key;
    for (const DesiredTag& w : writes) {
        bytes += VMsg::encodedTagSize(w.value.get());
        key += std::to_string(uintptr_t(w.value.get())) + ",";  // interned: the same value, the same object
    }
    if (bytes > DATAGRAM_SIZE) fail("the writes take more than one datagram");
    auto& shared = writeLists[key];
    if (!shared) shared = std::make_shared<const TagList>(std::move(writes));
    return {list.targets().back(), shared, list.whereOf(list.targets().back()), held};
}

void Reader::readChecksum() {
    std::string sum = digest.hex();
    if (!nextLine()) fail("the plan ends without its checksum: it was cut short");
    json j = lineObject({"sha256"});
    if (j["sha256"] != sum) fail("the checksum does not match: the plan was altered or damaged");
    if (in.rdbuf()->sgetc() != std::char_traits<char>::eof()) {
        ++line;
        fail("more after the checksum");
    }
}

void Reader::read(State& state, PlanInfo& info) {
    readHeader(info);
    tagpoll::TargetList list(info.port);
    state.targets.reserve(std::min<size_t>(targets, 1 << 16));
    for (size_t i = 0; i < targets; ++i) state.targets.push_back(readTarget(list));
    readChecksum();
}

}  // namespace

bool isPlanText(std::string_view start) { return start.starts_with(MARK); }

void writePlan(std::ostream& out, const PlanInfo& info, const State& state,
               const std::vector<TargetResult>& results) {
    Digest digest;
    auto put = [&](const json& j) {
        std::string text = dumped(j) + "\n";
        digest.add(text);
        out << text;
    };
    put({{"tagconf_plan", VERSION},
         {"state_file", info.stateFile},
         {"port", info.port},
         {"targets", state.targets.size()}});
    for (size_t i = 0; i < state.targets.size() && out; ++i) put(targetLine(state.targets[i], results[i]));
    out << "{\"sha256\":\"" << digest.hex() << "\"}\n";
}

std::string sealLine(std::string_view body) {
    Digest digest;
    digest.add(body);
    return "{\"sha256\":\"" + digest.hex() + "\"}\n";
}

bool readPlan(std::istream& in, const std::string& fileName, State& state, PlanInfo& info,
              std::string& error) {
    state = State{};
    try {
        Reader(in, fileName).read(state, info);
        return true;
    } catch (const Fault& fault) {
        error = fault.message;
    }
    state = State{};
    return false;
}

}  // namespace tagconf
