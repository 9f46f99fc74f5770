// tagconf's plan files: what a device held comes back to the bit, a plan cut
// or altered anywhere is refused whole, and --limit picks targets as the
// file names them.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "conf_report.h"
#include "plan_file.h"
#include "plan_value.h"
#include "save_file.h"
#include "tag_text.h"
#include "target_limit.h"
#include "temp_dir.h"

namespace {

using namespace tagconf;

const TagEntry& entry(const char* name) { return *tagByName(name); }
uint8_t id(const char* name) { return entry(name).id; }

std::shared_ptr<const VTag> tag(VTag* t) { return std::shared_ptr<const VTag>(t); }

// A plan of two targets: the first with every kind of held value the
// notation must keep, the second needing nothing.
std::string samplePlan() {
    State state;
    auto tags = std::make_shared<TagList>(TagList{
        {&entry("TAG_DEV_LABEL"), tag(new VTagString(id("TAG_DEV_LABEL"), "Rack"))},
        {&entry("TAG_IO_GAIN"), tag(new VTagUInt32(id("TAG_IO_GAIN"), 0x3F000000, VTAG_FLOAT))},
        {&entry("TAG_DEV_STATE"), tag(new VTagUInt8(id("TAG_DEV_STATE"), 0x1A))},
        {&entry("TAG_DEV_ID"), tag(new VTagUInt32(id("TAG_DEV_ID"), 0x2A))},
    });
    state.targets.push_back({{"127.0.0.1", 60001}, tags});
    state.targets.push_back({{"::1", 60002}, tags});
    std::vector<TargetResult> results(2);
    results[0].outcome = Outcome::ToChange;
    auto held = [&](const char* name, VTag* value) {
        value->tagId = entry(name).id;
        auto it = std::find_if(tags->begin(), tags->end(),
                               [&](const DesiredTag& d) { return d.entry == &entry(name); });
        results[0].changes.push_back({&entry(name), std::unique_ptr<VTag>(value), it->value});
    };
    held("TAG_DEV_LABEL", new VTagString(0, "caf\xC3\xA9 \xFF\x01", 8));  // not UTF-8
    held("TAG_IO_GAIN", new VTagUInt32(0, 0xFFC00001, VTAG_UINT32));      // a NaN with a payload, typed 2
    held("TAG_DEV_STATE", new VTagString(0, "1A"));                       // a text for an integer
    results[1].outcome = Outcome::Unchanged;
    // TAG_DEV_ID held as desired: recorded as held, with nothing to write.
    std::ostringstream out;
    PlanInfo info{"site/state.yml", 60000};
    writePlan(out, info, state, results);
    EXPECT_TRUE(out.good());
    return out.str();
}

bool read(const std::string& text, State& state, std::string& error) {
    std::istringstream in(text);
    PlanInfo info;
    return readPlan(in, "p.plan", state, info, error);
}

TEST(PlanFile, HeldValuesComeBackToTheBitAndOnlyDifferingTagsAreWritten) {
    std::string text = samplePlan();
    EXPECT_EQ(text.substr(0, text.find('\n')),
              "{\"tagconf_plan\":1,\"state_file\":\"site/state.yml\",\"port\":60000,\"targets\":2}");
    EXPECT_NE(
        text.find(
            "{\"tag\":\"TAG_DEV_LABEL\",\"held\":{\"type\":1,\"bytes\":\"636166C3A920FF01\"},"
            "\"write\":\"Rack\"},{\"tag\":\"TAG_IO_GAIN\",\"held\":\"FFC00001\",\"write\":\"3F000000\"},"
            "{\"tag\":\"TAG_DEV_STATE\",\"held\":{\"type\":1,\"bytes\":\"3141\"},\"write\":\"1A\"},"
            "{\"tag\":\"TAG_DEV_ID\",\"held\":\"0000002A\"}"),
        std::string::npos)
        << text;
    State state;
    std::string error;
    ASSERT_TRUE(read(text, state, error)) << error;
    ASSERT_EQ(state.targets.size(), 2u);
    EXPECT_EQ(state.targets[1].target.label(), "[::1]:60002");
    const HeldList& held = *state.targets[0].held;
    ASSERT_EQ(held.size(), 4u);
    EXPECT_EQ(static_cast<const VTagString&>(*held[0].value).text(),
              std::string_view("caf\xC3\xA9 \xFF\x01", 8));
    EXPECT_EQ(static_cast<const VTagUInt32&>(*held[1].value).getValue(), 0xFFC00001u);
    EXPECT_EQ(held[2].value->type, uint32_t(VTAG_STRING));
    // A float typed 2 by the device is the same value as the bits typed 6.
    VTagUInt32 now(entry("TAG_IO_GAIN").id, 0xFFC00001, VTAG_UINT32),
        other(now.tagId, 0xFFC00002, VTAG_FLOAT);
    EXPECT_TRUE(heldAlike(held[1].value.get(), &now));
    EXPECT_FALSE(heldAlike(held[1].value.get(), &other));
    std::string writes;
    for (const DesiredTag& w : *state.targets[0].tags)
        writes += std::string(w.entry->name) + "=" + valueWord(*w.value) + " ";
    EXPECT_EQ(writes, "TAG_DEV_LABEL=Rack TAG_IO_GAIN=0.5 TAG_DEV_STATE=1A ");
    EXPECT_TRUE(state.targets[1].tags->empty());
    EXPECT_EQ(state.targets[1].held->size(), 4u);
}

TEST(PlanFile, EveryCutAndEveryAlteredByteIsRefused) {
    std::string text = samplePlan();
    State state;
    std::string error;
    for (size_t size = 0; size < text.size(); ++size) {
        EXPECT_FALSE(read(text.substr(0, size), state, error)) << "cut at " << size;
        EXPECT_TRUE(state.targets.empty());
    }
    for (size_t i = 0; i < text.size(); ++i) {
        std::string altered = text;
        altered[i] = text[i] == '0' ? '1' : '0';
        EXPECT_FALSE(read(altered, state, error)) << "byte " << i;
    }
    EXPECT_FALSE(read(text + "\n", state, error));
    EXPECT_EQ(error, "p.plan:5: more after the checksum");
}

TEST(PlanFile, FaultsNameTheirLine) {
    // The reader's own checks refuse these before any checksum is reached.
    const std::pair<std::string, std::string> cases[] = {
        {"", "p.plan:1: not a plan file"},
        {"targets: [127.0.0.1]\n", "p.plan:1: not a plan file"},
        {"{\"tagconf_plan\":2,\"state_file\":\"s\",\"port\":1,\"targets\":0}\n",
         "p.plan:1: a plan of another version of tagconf"},
        {"{\"tagconf_plan\":1,\"state_file\":\"s\",\"port\":1,\"targets\":1}\n",
         "p.plan:2: the plan ends before its 1 targets: it was cut short"},
        {"{\"tagconf_plan\":1,\"state_file\":\"s\",\"port\":1,\"targets\":1}\n{\"target\":\"h:1\",\"tags\":[{"
         "\"tag\":"
         "\"TAG_DEV_CFG\",\"held\":null}]}\n",
         "p.plan:2: unknown or unwritable tag"},
        {"{\"tagconf_plan\":1,\"state_file\":\"s\",\"port\":1,\"targets\":1}\n{\"target\":\"h:1\",\"tags\":[{"
         "\"tag\":"
         "\"TAG_DEV_STATE\",\"held\":\"1A\",\"write\":\"1FF\"}]}\n",
         "p.plan:2: bad value for TAG_DEV_STATE"},
        {"{\"tagconf_plan\":1,\"state_file\":\"s\",\"port\":1,\"targets\":1}\n{\"target\":\"h:1\",\"tags\":[{"
         "\"tag\":\"TAG_DEV_LABEL\",\"held\":\"a\",\"write\":{\"type\":1,\"bytes\":\"FF\"}}]}\n",
         "p.plan:2: the write of TAG_DEV_LABEL is not a value of its kind"},
        {"{\"tagconf_plan\":1,\"state_file\":\"s\",\"port\":1,\"targets\":2}\n{\"target\":\"h:1\",\"tags\":[]"
         "}\n"
         "{\"target\":\"H:1\",\"tags\":[]}\n",
         "p.plan:3: \"H:1\" is not one target as plan writes it, or a second time"},
        {"{\"tagconf_plan\":1,\"state_file\":\"s\",\"port\":1,\"targets\":0}\n" +
             std::string(MAX_PLAN_LINE + 1, ' '),
         "p.plan:2: longer than 65536 bytes"},
        {"{\"tagconf_plan\":1,\"state_file\":\"s\",\"port\":1,\"targets\":0}\n{\"sha256\":\"00\"}\n",
         "p.plan:2: the checksum does not match: the plan was altered or damaged"},
    };
    for (const auto& [text, expected] : cases) {
        State state;
        std::string error;
        EXPECT_FALSE(read(text, state, error)) << text;
        EXPECT_EQ(error, expected);
    }
}

TEST(TargetLimit, PicksTargetsAsTheFileNamesThem) {
    State file;
    for (const char* host : {"127.0.0.1", "127.0.0.2", "Rack-A", "::1"})
        file.targets.push_back({{host, 60000}, std::make_shared<TagList>()});
    file.targets.push_back({{"127.0.0.1", 61000}, std::make_shared<TagList>()});
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"127.0.0.1"}, "127.0.0.1:60000 "},  // the default port, not 61000
        {{"127.0.0.1:61000", "127.0.0.2:60000"}, "127.0.0.2:60000 127.0.0.1:61000 "},
        {{"rack-a"}, "Rack-A:60000 "},
        {{"[0:0::1]:60000"}, "[::1]:60000 "},
        {{"127.0.0.0/30"}, "127.0.0.1:60000 127.0.0.2:60000 "},
        {{"127.0.0.1", "127.0.0.1:60000"}, "127.0.0.1:60000 "},
        // Nothing is looked up: a name is not its address.
        {{"localhost"}, "--limit localhost: not a target of s.yml"},
        {{"127.0.0.2", "127.0.0.3"}, "--limit 127.0.0.3: not a target of s.yml"},
        {{"127.0.0.1:0"}, "--limit:1: bad port \"0\" (1-65535)"},
    };
    for (const auto& [limits, expected] : cases) {
        State state = file;
        std::string error, kept;
        if (limitTargets(state, limits, 60000, "s.yml", error))
            for (const TargetState& t : state.targets) kept += t.target.label() + " ";
        else
            kept = error;
        EXPECT_EQ(kept, expected) << limits.front();
        if (!error.empty()) {
            EXPECT_EQ(state.targets.size(), 5u);
        }
    }
}

TEST(ConfReport, PlannedRunsCountStaleTargetsAndJsonSummaryNamesEveryCount) {
    std::vector<TargetResult> results(4);
    results[0].outcome = Outcome::Changed;
    results[0].changes.push_back(
        {&entry("TAG_DEV_STATE"), nullptr, tag(new VTagUInt8(id("TAG_DEV_STATE"), 1))});
    results[1].outcome = Outcome::Stale;
    results[2].outcome = Outcome::Unchanged;
    results[3].outcome = Outcome::Mismatch;
    ReportStyle applied{Format::Json, true, false, true};
    EXPECT_EQ(summaryLine(results, applied),
              "4 targets: 1 unchanged, 1 changed (1 tags), 1 mismatch, 1 stale, 0 unreachable");
    EXPECT_EQ(
        summaryObject(results, applied, 1).dump(),
        "{\"summary\":\"apply\",\"targets\":4,\"unchanged\":1,\"to_change\":0,\"changed\":1,\"mismatch\":1,"
        "\"stale\":1,\"unconfirmed\":0,\"unreachable\":0,\"stopped\":0,\"tags\":1,\"exit_status\":1}");
    applied.planned = false;
    EXPECT_EQ(summaryLine(results, applied),
              "4 targets: 1 unchanged, 1 changed (1 tags), 1 mismatch, 0 unreachable");
    // A plan with a stale target cannot be applied as reviewed: an error.
    std::vector<TargetResult> planned(2);
    planned[0].outcome = Outcome::Unchanged;
    planned[1].outcome = Outcome::Stale;
    EXPECT_EQ(exitStatus(planned, false), 1);
    planned[1].outcome = Outcome::ToChange;
    EXPECT_EQ(exitStatus(planned, false), 2);
}

// A plan file is replaced as a saved file is: whole or not at all, its mode
// kept, and never over a symbolic link, which would fork the two names.
TEST(PlanFileReplace, APlanIsReplacedWholeOrLeftAsItWasAndNeverOverALink) {
    TempDir dir;
    std::string path = dir.write("p.plan", "old\n"), other = dir.write("other", "kept\n");
    chmod(path.c_str(), 0640);
    auto writes = [](const char* text, bool ok) {
        return [=](std::ostream& out) {
            out << text;
            if (!ok) out.setstate(std::ios::badbit);
        };
    };
    std::string error;
    EXPECT_FALSE(replaceFile(path, writes("half", false), error));
    EXPECT_TRUE(error.starts_with(path + ": cannot write")) << error;
    EXPECT_EQ(dir.read("p.plan"), "old\n");
    ASSERT_TRUE(replaceFile(path, writes("new\n", true), error)) << error;
    EXPECT_EQ(dir.read("p.plan"), "new\n");
    struct stat st {};
    stat(path.c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    std::filesystem::create_symlink(other, dir.path + "/link");
    EXPECT_FALSE(replaceFile(dir.path + "/link", writes("via link\n", true), error));
    EXPECT_EQ(error, dir.path + "/link: a symbolic link: give the file it points to");
    EXPECT_EQ(dir.read("other"), "kept\n");
    EXPECT_TRUE(std::filesystem::is_symlink(dir.path + "/link"));
    // No temporary file is left behind, whatever happened.
    size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path))
        files += bool(e.path().filename().string()[0] == '.');
    EXPECT_EQ(files, 0u);
    EXPECT_FALSE(replaceFile(dir.path + "/none/p.plan", writes("x", true), error));
}

}  // namespace
