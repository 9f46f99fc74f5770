// Writes axodict_tags.h, the installed list of tag ids, from the one tag
// table: gen_tag_ids FILE. Library users name tags by these constants instead
// of copying numbers out of the manual page.
#include <cstdio>
#include <iterator>

namespace {

struct Row {
    int id;
    const char* name;
    const char* kind;
};

constexpr Row rows[] = {
#define TAG_ENTRY(id, name, kind) {id, #name, #kind},
#include "tag_table.def"
#undef TAG_ENTRY
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fputs("usage: gen_tag_ids FILE\n", stderr);
        return 2;
    }
    FILE* f = fopen(argv[1], "w");
    if (!f) {
        perror(argv[1]);
        return 1;
    }
    fputs(
        "// The tag ids of the tag protocol, with each tag's kind of value.\n"
        "// Generated from the tag table; do not edit. Included by axodict.h.\n"
        "#ifndef AXODICT_TAGS_H\n#define AXODICT_TAGS_H\n\n#include <cstdint>\n\nnamespace AXO {\n\n"
        "enum TagId : uint8_t {\n",
        f);
    for (const Row& r : rows) fprintf(f, "    %s = %d,  // %s\n", r.name, r.id, r.kind);
    fprintf(f, "};\n\n// Tags in the vocabulary; their ids run from 0 to TAG_COUNT - 1.\n");
    fprintf(f, "constexpr unsigned TAG_COUNT = %zu;\n\n}  // namespace AXO\n\n#endif\n", std::size(rows));
    return fclose(f) == 0 ? 0 : 1;
}
