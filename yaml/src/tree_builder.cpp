#include "tree_builder.h"

namespace tagyaml {

TreeBuilder::TreeBuilder(Document& doc, size_t textBytes) : doc(doc) {
    doc.nodes.clear();
    doc.tags.clear();
    // Reserved once rather than doubled as it fills: no copy of it on the
    // way, and the pages never written to are never resident.
    std::string().swap(doc.arena);
    doc.arena.reserve(textBytes);
}

uint32_t TreeBuilder::add(Kind kind, Style style, int line, std::string_view tag) {
    uint32_t tagIndex = 0;
    if (!tag.empty()) {
        doc.tags.emplace_back(tag);
        tagIndex = uint32_t(doc.tags.size());
    }
    if (!open_.empty()) ++doc.nodes[open_.back()].b;
    doc.nodes.push_back({0, 0, uint32_t(line), tagIndex, uint32_t(kind), uint32_t(style)});
    return uint32_t(doc.nodes.size() - 1);
}

void TreeBuilder::scalar(int line, std::string_view text, Style style, std::string_view tag) {
    uint32_t index = add(Kind::Scalar, style, line, tag);
    doc.nodes[index].a = uint32_t(doc.arena.size());
    doc.nodes[index].b = uint32_t(text.size());
    doc.arena.append(text);
}

void TreeBuilder::open(Kind kind, int line, std::string_view tag) {
    open_.push_back(add(kind, Style::Plain, line, tag));
}

void TreeBuilder::close() {
    Document::Slot& collection = doc.nodes[open_.back()];
    collection.a = uint32_t(doc.nodes.size());
    // A mapping's count went up once for each key and each value.
    if (Kind(collection.kind) == Kind::Mapping) collection.b /= 2;
    open_.pop_back();
}

void TreeBuilder::finish(int line) {
    if (doc.nodes.empty()) scalar(line, "", Style::Plain, "");
}

}  // namespace tagyaml
