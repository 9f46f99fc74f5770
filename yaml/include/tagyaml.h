// The one YAML loader of the tree: every file a program of ours reads as
// YAML (tagconf's state file, the exporter's modules file and web
// configuration) goes through load(), so that all of them refuse the same
// things in the same words.
//
// What load() accepts: one YAML 1.2 document of valid UTF-8, refused whole
// on the first fault of any kind:
//   - a text the YAML grammar refuses (an unclosed quote, a bad indent:
//     every invalid case of the YAML test suite);
//   - a byte below 0x20 but line feed and carriage return (a raw NUL and
//     a tab among them: tabs are allowed by YAML in some places only, and
//     the parser mishandles some of those), or bytes that are not UTF-8;
//   - more than Bounds::maxBytes bytes (refused unparsed);
//   - collections nested more than Bounds::maxDepth deep;
//   - a second document;
//   - anchors and aliases: an alias may make a few bytes stand for millions
//     of nodes, and no file of ours needs one;
//   - more than 2^27 - 1 tags such as !!str (the tree numbers them in 27
//     bits; no file of ours comes near).
// Without aliases a document cannot have more than about twice as many
// nodes as its text has bytes (an empty key and its empty value come from
// one ':'), so the byte bound bounds the nodes too: the tree costs a fixed 16
// bytes a node plus the scalars' texts, and the text may be freed once it
// is loaded.
//
// A mapping keeps a key written twice as it is, twice, in order: the
// readers refuse it in their own words (quoting the key as they name it).
//
// Faults are "NAME:LINE: reason" with LINE from 1 and the reason printable
// (control bytes and bytes from 0x7F written as \xNN).
#ifndef TAGYAML_H
#define TAGYAML_H

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tagyaml {

struct Bounds {
    size_t maxBytes;  // at most 4 GiB - 1: the tree's offsets are 32 bits
    size_t maxDepth;  // a top-level mapping is depth 1, its values' collections 2, ...
};

enum class Kind : uint8_t { Scalar, Sequence, Mapping };
// How a scalar was written. Only a plain scalar can mean null, a number or
// a boolean without a tag; quoted and block scalars are always texts.
enum class Style : uint8_t { Plain, SingleQuoted, DoubleQuoted, Literal, Folded };

class Document;
struct Pair;

// A view of one node of a Document; valid while the document lives and is
// not loaded again.
class Node {
public:
    Kind kind() const;
    bool isScalar() const { return kind() == Kind::Scalar; }
    bool isSequence() const { return kind() == Kind::Sequence; }
    bool isMapping() const { return kind() == Kind::Mapping; }
    // An untagged plain scalar "", "~", "null", "Null" or "NULL": YAML's
    // null (an empty document's root is one).
    bool isNull() const;
    int line() const;  // where the node starts, from 1
    // A scalar's value, escapes and folding resolved, byte for byte: a
    // "\0" escape is a NUL here, "\uFFFE" its three UTF-8 bytes. Empty for
    // a collection.
    std::string_view text() const;
    Style style() const;  // Plain for a collection
    // The tag as resolved: "tag:yaml.org,2002:binary" for !!binary, "!foo"
    // for a local tag; empty when the node has none.
    std::string_view tag() const;
    // Items of a sequence, pairs of a mapping; 0 for a scalar.
    size_t size() const;

    // Iteration in document order: items() over a sequence's items, pairs()
    // over a mapping's (key, value) pairs; both empty on any other kind.
    template <typename T>
    class Range;
    Range<Node> items() const;
    Range<Pair> pairs() const;

private:
    friend class Document;
    Node(const Document* doc, uint32_t index) : doc(doc), index(index) {}
    uint32_t next() const;  // the node after this one and all it holds
    const Document* doc;
    uint32_t index;
};

struct Pair {
    Node key, value;
};

template <typename T>
class Node::Range {
public:
    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = T;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = T;
        T operator*() const;
        iterator& operator++();
        iterator operator++(int) {
            iterator old = *this;
            ++*this;
            return old;
        }
        bool operator==(const iterator& other) const { return at == other.at; }

    private:
        friend class Node::Range<T>;
        iterator(const Document* doc, uint32_t at) : doc(doc), at(at) {}
        const Document* doc;
        uint32_t at;
    };
    iterator begin() const { return {doc, first}; }
    iterator end() const { return {doc, last}; }

private:
    friend class Node;
    Range(const Document* doc, uint32_t first, uint32_t last) : doc(doc), first(first), last(last) {}
    const Document* doc;
    uint32_t first, last;
};

class Document {
public:
    Node root() const { return Node(this, 0); }
    size_t nodeCount() const { return nodes.size(); }

private:
    friend class Node;
    friend class TreeBuilder;
    struct Slot {
        // A scalar's text: arena[a, a + b). A collection: a = the index
        // after its last descendant, b = its items or pairs.
        uint32_t a, b;
        uint32_t line;
        uint32_t tag : 27;   // 1 + index into tags; 0: none
        uint32_t kind : 2;   // a Kind
        uint32_t style : 3;  // a Style
    };
    static_assert(sizeof(Slot) == 16, "a node costs 16 bytes");
    static constexpr uint32_t MAX_TAGS = (1u << 27) - 1;
    // Slots in chunks of a fixed size: the tree grows without copying
    // itself, so that a load never holds two copies of it at once.
    class Slots {
    public:
        static constexpr uint32_t CHUNK = 4096;
        size_t size() const { return count; }
        bool empty() const { return count == 0; }
        Slot& operator[](uint32_t i) { return chunks[i / CHUNK][i % CHUNK]; }
        const Slot& operator[](uint32_t i) const { return chunks[i / CHUNK][i % CHUNK]; }
        void push_back(const Slot& slot) {
            if (count % CHUNK == 0) chunks.push_back(std::make_unique<Slot[]>(CHUNK));
            (*this)[uint32_t(count++)] = slot;
        }
        void clear() {
            chunks.clear();
            count = 0;
        }

    private:
        std::vector<std::unique_ptr<Slot[]>> chunks;
        size_t count = 0;
    };
    const Slot& slot(uint32_t i) const { return nodes[i]; }
    Slots nodes;        // in document order, a collection before what it holds
    std::string arena;  // every scalar's text, one after another
    std::vector<std::string> tags;
};

// Parses text as one document into doc (its old content dropped). True on
// success; false with "NAME:LINE: reason" in error, doc then empty.
// Never throws but std::bad_alloc.
bool load(std::string_view text, std::string_view name, const Bounds& bounds, Document& doc,
          std::string& error);

// Defined with the loader for the two kinds of range.
template <>
Node Node::Range<Node>::iterator::operator*() const;
template <>
Node::Range<Node>::iterator& Node::Range<Node>::iterator::operator++();
template <>
Pair Node::Range<Pair>::iterator::operator*() const;
template <>
Node::Range<Pair>::iterator& Node::Range<Pair>::iterator::operator++();

}  // namespace tagyaml

#endif
