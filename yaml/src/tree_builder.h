// Builds a Document from the parser's events, in document order.
#ifndef TAGYAML_TREE_BUILDER_H
#define TAGYAML_TREE_BUILDER_H

#include <string_view>
#include <vector>

#include "tagyaml.h"

namespace tagyaml {

class TreeBuilder {
public:
    // textBytes: the size of the text the tree is built from, which its
    // scalars' texts together never exceed.
    TreeBuilder(Document& doc, size_t textBytes);
    void scalar(int line, std::string_view text, Style style, std::string_view tag);
    void open(Kind kind, int line, std::string_view tag);
    void close();
    size_t depth() const { return open_.size(); }
    // Whether a node may carry no further tag: the tree numbers them in 27
    // bits.
    bool tagsFull() const { return doc.tags.size() >= Document::MAX_TAGS; }
    // An empty stream's document: one null.
    void finish(int line);

private:
    uint32_t add(Kind kind, Style style, int line, std::string_view tag);
    Document& doc;
    std::vector<uint32_t> open_;  // the collections being filled, outermost first
};

}  // namespace tagyaml

#endif
