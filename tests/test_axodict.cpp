// The tag dictionary against the one tag table it is derived from. The table
// is expanded here a second time with a mapping of its own from kind to type
// code, so a slip in the library's mapping or in its expansion shows up.
#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <map>
#include <set>
#include <string>

#include "axodict.h"

namespace {

struct Row {
    unsigned id;
    const char* name;
    const char* kind;
};

constexpr Row table[] = {
#define TAG_ENTRY(id, name, kind) {id, #name, #kind},
#include "tag_table.def"
#undef TAG_ENTRY
};
constexpr size_t rows = std::size(table);

// The type code an agent sends for each kind of value.
uint32_t typeForKind(const std::string& kind) {
    static const std::map<std::string, uint32_t> codes = {{"None", 0},   {"String", 1}, {"UInt32", 2},
                                                          {"UInt16", 3}, {"UInt8", 4},  {"Float", 6}};
    auto it = codes.find(kind);
    EXPECT_NE(it, codes.end()) << "unknown kind " << kind;
    return it == codes.end() ? 0xFFFFFFFF : it->second;
}

TEST(DictDef, HasOneEntryPerTableRow) {
    ASSERT_NE(AXO::DictDef, nullptr);
    ASSERT_NE(AXO::DictDef->entries, nullptr);
    EXPECT_EQ(AXO::DictDef->count, 182);
    EXPECT_EQ(rows, 182u);
}

TEST(DictDef, EntriesAreDenseInIdOrder) {
    ASSERT_EQ(AXO::DictDef->count, rows);
    for (size_t i = 0; i < rows; ++i) {
        EXPECT_EQ(AXO::DictDef->entries[i].tagId, i);
        EXPECT_EQ(table[i].id, i) << table[i].name << " is out of place in the table";
    }
}

TEST(DictDef, EveryEntryHasTheTypeOfItsTableKind) {
    ASSERT_EQ(AXO::DictDef->count, rows);
    for (size_t i = 0; i < rows; ++i)
        EXPECT_EQ(AXO::DictDef->entries[i].type, typeForKind(table[i].kind))
            << table[i].name << " (" << table[i].kind << ")";
}

TEST(DictDef, TypeCountsMatchTheVocabulary) {
    std::map<uint32_t, int> counts;
    for (size_t i = 0; i < AXO::DictDef->count; ++i) ++counts[AXO::DictDef->entries[i].type];
    const std::map<uint32_t, int> expected = {{0, 38}, {1, 52}, {2, 21}, {3, 4}, {4, 48}, {6, 19}};
    EXPECT_EQ(counts, expected);
}

TEST(DictDef, SpotChecksByIdAndName) {
    const struct {
        unsigned id;
        const char* name;
        uint32_t type;
    } checks[] = {
        {5, "TAG_DEV_CFG", 0},         {6, "TAG_DEV_STATE", 4}, {8, "TAG_DEV_ID", 2},
        {9, "TAG_DEV_LABEL", 1},       {51, "TAG_IO_GAIN", 6},  {109, "TAG_NET_INPORT", 3},
        {181, "TAG_SITE_SVP_PORT", 2},
    };
    ASSERT_EQ(AXO::DictDef->count, rows);
    for (const auto& c : checks) {
        EXPECT_STREQ(table[c.id].name, c.name);
        EXPECT_EQ(AXO::DictDef->entries[c.id].tagId, c.id);
        EXPECT_EQ(AXO::DictDef->entries[c.id].type, c.type) << c.name;
    }
}

// The installed lookups and the generated id constants agree with every row.
TEST(TagLookup, NamesKindsAndIdsMatchEveryTableRow) {
    const std::map<std::string, AXO::TagKind> kinds = {
        {"None", AXO::TagKind::None},     {"UInt8", AXO::TagKind::UInt8},   {"UInt16", AXO::TagKind::UInt16},
        {"UInt32", AXO::TagKind::UInt32}, {"String", AXO::TagKind::String}, {"Float", AXO::TagKind::Float}};
    EXPECT_EQ(AXO::TAG_COUNT, 182u);
    for (const Row& r : table) {
        const uint8_t id = uint8_t(r.id);
        ASSERT_NE(AXO::tagName(id), nullptr) << r.id;
        EXPECT_STREQ(AXO::tagName(id), r.name);
        EXPECT_EQ(AXO::tagKind(id), kinds.at(r.kind)) << r.name;
        EXPECT_EQ(AXO::tagIdByName(r.name), int(r.id));
    }
}

TEST(TagLookup, GeneratedConstantsCaseAndUnknowns) {
    const struct {
        int constant;
        const char* typed;
        int id;
    } cases[] = {{AXO::TAG_BUS_EVT, "TAG_BUS_EVT", 0},
                 {AXO::TAG_DEV_ID, "tag_dev_id", 8},
                 {AXO::TAG_DEV_LABEL, "Tag_Dev_Label", 9},
                 {AXO::TAG_NET_INPORT, "TAG_NET_INPORT", 109},
                 {AXO::TAG_SITE_SVP_PORT, "tag_site_svp_port", 181}};
    for (const auto& c : cases) {
        EXPECT_EQ(c.constant, c.id) << c.typed;
        EXPECT_EQ(AXO::tagIdByName(c.typed), c.id) << c.typed;
    }
    for (const char* unknown : {"TAG_DEV", "TAG_DEV_IDX", "", "TAG_DEV_ID "})
        EXPECT_EQ(AXO::tagIdByName(unknown), -1) << "'" << unknown << "'";
    EXPECT_EQ(AXO::tagIdByName(nullptr), -1);
    EXPECT_EQ(AXO::tagName(182), nullptr);
    EXPECT_EQ(AXO::tagName(255), nullptr);
    EXPECT_EQ(AXO::tagKind(200), AXO::TagKind::None);
}

// Names are matched without regard to case, so two rows differing only in
// case would make one of them unreachable.
TEST(TagTable, NamesAreUpperCaseTagPrefixedAndUniqueIgnoringCase) {
    std::set<std::string> seen;
    for (const Row& r : table) {
        std::string name = r.name;
        EXPECT_EQ(name.rfind("TAG_", 0), 0u) << name;
        for (char c : name)
            EXPECT_TRUE(std::isupper(static_cast<unsigned char>(c)) ||
                        std::isdigit(static_cast<unsigned char>(c)) || c == '_')
                << name;
        EXPECT_TRUE(seen.insert(name).second) << "duplicate name " << name;
    }
}

}  // namespace
