// The tag vocabulary: both directions of the lookup against the one tag
// table, the case rule of names and the share of each value kind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <string>

#include "tag_vocabulary.h"

namespace {

struct Row {
    unsigned id;
    const char* name;
    TagKind kind;
};

// The expectations come from the table itself, so every row is checked and
// the test holds no second copy of it.
constexpr Row rows[] = {
#define TAG_ENTRY(id, name, kind) {id, #name, TagKind::kind},
#include "tag_table.def"
#undef TAG_ENTRY
};
constexpr size_t rowCount = sizeof rows / sizeof rows[0];

std::string lowered(const char* s) {
    std::string out(s);
    for (char& c : out) c = char(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

// Upper and lower case in turn, letter by letter: TaG_dEv_Id.
std::string alternated(const char* s) {
    std::string out(s);
    bool upper = true;
    for (char& c : out) {
        if (!std::isalpha(static_cast<unsigned char>(c))) continue;
        c = char(upper ? std::toupper(static_cast<unsigned char>(c))
                       : std::tolower(static_cast<unsigned char>(c)));
        upper = !upper;
    }
    return out;
}

TEST(TagVocabulary, KnownRowsHoldTheirLiteralIdNameAndKind) {
    // Written out here rather than read from the table, so that a changed
    // row fails: these ids, names and kinds are on the wire and in scripts.
    constexpr Row known[] = {
        {0, "TAG_BUS_EVT", TagKind::None},
        {1, "TAG_ERR_MSGID", TagKind::UInt8},
        {5, "TAG_DEV_CFG", TagKind::None},
        {8, "TAG_DEV_ID", TagKind::UInt32},
        {9, "TAG_DEV_LABEL", TagKind::String},
        {50, "TAG_IO_OFFSET", TagKind::Float},
        {51, "TAG_IO_GAIN", TagKind::Float},
        {109, "TAG_NET_INPORT", TagKind::UInt16},
        {180, "TAG_SITE_SVP_ADDRESS", TagKind::String},
        {181, "TAG_SITE_SVP_PORT", TagKind::UInt32},
    };
    for (const Row& row : known) {
        const TagEntry* e = tagById(uint8_t(row.id));
        ASSERT_NE(e, nullptr) << row.id;
        EXPECT_STREQ(e->name, row.name);
        EXPECT_EQ(e->kind, row.kind) << row.name;
        EXPECT_EQ(tagByName(row.name), e);
    }
}

TEST(TagVocabulary, TableHas182DenseRows) {
    ASSERT_EQ(rowCount, 182u);
    for (size_t i = 0; i < rowCount; ++i) EXPECT_EQ(rows[i].id, i) << rows[i].name;
    EXPECT_EQ(allTags().size(), rowCount);
}

TEST(TagVocabulary, TagByNameIgnoresCase) {
    for (const char* name : {"TAG_DEV_ID", "tag_dev_id", "Tag_Dev_Id", "tAG_dEV_iD"}) {
        const TagEntry* e = tagByName(name);
        ASSERT_NE(e, nullptr) << name;
        EXPECT_EQ(e->id, 8) << name;
        EXPECT_STREQ(e->name, "TAG_DEV_ID") << name;
        EXPECT_EQ(e->kind, TagKind::UInt32) << name;
    }
}

TEST(TagVocabulary, EveryNameFindsItsIdAndKindInAnyCase) {
    for (const Row& row : rows) {
        for (const std::string& typed : {std::string(row.name), lowered(row.name), alternated(row.name)}) {
            const TagEntry* e = tagByName(typed.c_str());
            ASSERT_NE(e, nullptr) << typed;
            EXPECT_EQ(e->id, row.id) << typed;
            EXPECT_STREQ(e->name, row.name) << typed;
            EXPECT_EQ(e->kind, row.kind) << typed;
        }
    }
}

TEST(TagVocabulary, TagByIdNamesEveryIdUpTo181) {
    for (const Row& row : rows) {
        const TagEntry* e = tagById(uint8_t(row.id));
        ASSERT_NE(e, nullptr) << row.id;
        EXPECT_EQ(e->id, row.id);
        EXPECT_STREQ(e->name, row.name);
        EXPECT_EQ(e->kind, row.kind) << row.name;
    }
    ASSERT_NE(tagById(181), nullptr);
    EXPECT_STREQ(tagById(181)->name, "TAG_SITE_SVP_PORT");
}

TEST(TagVocabulary, TagByIdHasNoNameFrom182To255) {
    for (unsigned id = 182; id <= 255; ++id) EXPECT_EQ(tagById(uint8_t(id)), nullptr) << id;
}

TEST(TagVocabulary, NamePrintedForAnIdIsAcceptedForThatId) {
    for (unsigned id = 0; id < 182; ++id) {
        const TagEntry* byId = tagById(uint8_t(id));
        ASSERT_NE(byId, nullptr);
        EXPECT_EQ(tagByName(byId->name), byId) << byId->name;
    }
}

TEST(TagVocabulary, KindsAreSharedOutAsTheTableGivesThem) {
    std::map<TagKind, int> counts;
    for (const TagEntry& e : allTags()) ++counts[e.kind];
    EXPECT_EQ(counts[TagKind::None], 38);
    EXPECT_EQ(counts[TagKind::UInt8], 48);
    EXPECT_EQ(counts[TagKind::UInt16], 4);
    EXPECT_EQ(counts[TagKind::UInt32], 21);
    EXPECT_EQ(counts[TagKind::String], 52);
    EXPECT_EQ(counts[TagKind::Float], 19);
}

TEST(TagVocabulary, ErrorNamesAreOrdinaryValuelessEntries) {
    const TagEntry* tagid = tagByName("TAG_ERR_UNKNOWN_TAGID");
    const TagEntry* msgid = tagByName("TAG_ERR_UNKNOWN_MSGID");
    ASSERT_NE(tagid, nullptr);
    ASSERT_NE(msgid, nullptr);
    EXPECT_EQ(tagid->id, 3);
    EXPECT_EQ(msgid->id, 4);
    EXPECT_EQ(tagid->kind, TagKind::None);
    EXPECT_EQ(msgid->kind, TagKind::None);
}

TEST(TagVocabulary, NearMissNamesAreRefused) {
    for (const char* name : {
             "TAG_DEV_I",      // a prefix of a name
             "TAG_DEV",        // a prefix of many
             "TAG_DEV_IDX",    // one character more
             "TAG_DEV_ID ",    // a trailing blank
             " TAG_DEV_ID",    // a leading blank
             "TAG_DEV_ID=",    // the name with its equals sign
             "",               // nothing at all
             "TAG-DEV-ID",     // other punctuation
             "DEV_ID",         // without the prefix
             "TAG_DEV_ID_OL",  // between two names that share a stem
             "TAG_SITE_SVP_PORTS",
             "TAG\x7f"
             "DEV\x7f"
             "ID",  // DEL folds onto '_' only if case folding flips bit 5 of any byte
         })
        EXPECT_EQ(tagByName(name), nullptr) << '"' << name << '"';
    EXPECT_EQ(tagByName(nullptr), nullptr);
}

TEST(TagVocabulary, NamesSharingAStemStayApart) {
    ASSERT_NE(tagByName("TAG_DEV_ID_OLD"), nullptr);
    ASSERT_NE(tagByName("TAG_DEV_ID_NEW"), nullptr);
    EXPECT_EQ(tagByName("TAG_DEV_ID_OLD")->id, 67);
    EXPECT_EQ(tagByName("tag_dev_id_new")->id, 68);
    EXPECT_EQ(tagByName("TAG_BUS_SERIAL")->id, 113);
    EXPECT_EQ(tagByName("TAG_BUS_SERIAL_DEV")->id, 132);
    EXPECT_EQ(tagByName("TAG_BUS_SERIALNUM")->id, 123);
}

}  // namespace
