#include "tagyaml.h"

#include <libfyaml.h>

#include <optional>

#include "text_check.h"
#include "tree_builder.h"

namespace tagyaml {

Kind Node::kind() const { return Kind(doc->slot(index).kind); }

bool Node::isNull() const {
    const Document::Slot& s = doc->slot(index);
    if (Kind(s.kind) != Kind::Scalar || Style(s.style) != Style::Plain || s.tag != 0) return false;
    std::string_view t = text();
    return t.empty() || t == "~" || t == "null" || t == "Null" || t == "NULL";
}

int Node::line() const { return int(doc->slot(index).line); }

std::string_view Node::text() const {
    const Document::Slot& s = doc->slot(index);
    if (Kind(s.kind) != Kind::Scalar) return {};
    return std::string_view(doc->arena).substr(s.a, s.b);
}

Style Node::style() const { return Style(doc->slot(index).style); }

std::string_view Node::tag() const {
    uint32_t tag = doc->slot(index).tag;
    return tag == 0 ? std::string_view() : std::string_view(doc->tags[tag - 1]);
}

size_t Node::size() const {
    const Document::Slot& s = doc->slot(index);
    return Kind(s.kind) == Kind::Scalar ? 0 : s.b;
}

uint32_t Node::next() const {
    const Document::Slot& s = doc->slot(index);
    return Kind(s.kind) == Kind::Scalar ? index + 1 : s.a;
}

Node::Range<Node> Node::items() const {
    if (!isSequence()) return {doc, 0, 0};
    return {doc, index + 1, next()};
}

Node::Range<Pair> Node::pairs() const {
    if (!isMapping()) return {doc, 0, 0};
    return {doc, index + 1, next()};
}

template <>
Node Node::Range<Node>::iterator::operator*() const {
    return Node(doc, at);
}

template <>
Node::Range<Node>::iterator& Node::Range<Node>::iterator::operator++() {
    at = Node(doc, at).next();
    return *this;
}

template <>
Pair Node::Range<Pair>::iterator::operator*() const {
    Node key(doc, at);
    return {key, Node(doc, key.next())};
}

template <>
Node::Range<Pair>::iterator& Node::Range<Pair>::iterator::operator++() {
    at = Node(doc, Node(doc, at).next()).next();
    return *this;
}

namespace {

struct Refusal {
    int line;
    std::string reason;
};

std::string sizeText(size_t bytes) {
    constexpr size_t MIB = size_t{1} << 20;
    if (bytes % MIB == 0) return std::to_string(bytes / MIB) + " MiB";
    return std::to_string(bytes) + " bytes";
}

Style styleOf(fy_token* value) {
    switch (fy_token_scalar_style(value)) {
    case FYSS_SINGLE_QUOTED: return Style::SingleQuoted;
    case FYSS_DOUBLE_QUOTED: return Style::DoubleQuoted;
    case FYSS_LITERAL: return Style::Literal;
    case FYSS_FOLDED: return Style::Folded;
    default: return Style::Plain;
    }
}

std::string_view tokenText(fy_token* token) {
    if (!token) return {};
    size_t length = 0;
    const char* text = fy_token_get_text(token, &length);
    return text ? std::string_view(text, length) : std::string_view();
}

// libfyaml's event parser with its messages collected, not printed.
class Parser {
public:
    explicit Parser(std::string_view text) {
        fy_diag_cfg diagCfg;
        fy_diag_cfg_default(&diagCfg);
        diagCfg.fp = nullptr;
        diagCfg.output_fn = [](fy_diag*, void*, const char*, size_t) {};
        diag = fy_diag_create(&diagCfg);
        if (!diag) throw std::bad_alloc();
        fy_diag_set_collect_errors(diag, true);
        fy_parse_cfg cfg{};
        cfg.flags = fy_parse_cfg_flags(FYPCF_QUIET | FYPCF_DEFAULT_VERSION_1_2 | FYPCF_JSON_NONE);
        cfg.diag = diag;
        parser = fy_parser_create(&cfg);
        // An empty view may have no data at all; the parser wants a pointer.
        const char* data = text.empty() ? "" : text.data();
        if (!parser || fy_parser_set_string(parser, data, text.size()) != 0) {
            fy_parser_destroy(parser);
            fy_diag_destroy(diag);
            throw std::bad_alloc();
        }
    }
    // Destroyed, not merely let go: only that frees the messages collected.
    ~Parser() {
        fy_parser_destroy(parser);
        fy_diag_destroy(diag);
    }
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // The next event, null at the end or on a fault.
    fy_event* next() { return fy_parser_parse(parser); }
    void free(fy_event* event) { fy_parser_event_free(parser, event); }
    bool failed() { return fy_parser_get_stream_error(parser); }
    // The parser's first message, with its line; or a plain reason.
    Refusal fault(int lastLine) {
        void* iterator = nullptr;
        if (fy_diag_error* first = fy_diag_errors_iterate(diag, &iterator))
            return {first->line > 0 ? first->line : lastLine, first->msg ? first->msg : "not valid YAML"};
        return {lastLine, "not valid YAML"};
    }

private:
    fy_diag* diag = nullptr;
    fy_parser* parser = nullptr;
};

// Turns the parser's events into the tree, refusing what the bounds refuse.
class Loader {
public:
    Loader(Document& doc, size_t textBytes, const Bounds& bounds) : builder(doc, textBytes), bounds(bounds) {}
    void take(fy_event* event);
    void finish() { builder.finish(lastLine); }
    int lastLine = 1;

private:
    void node(const fy_token* anchor, const fy_token* tag) {
        if (anchor) throw Refusal{lastLine, "anchors and aliases are not allowed"};
        if (tag && builder.tagsFull()) throw Refusal{lastLine, "too many tags"};
    }
    void open(Kind kind, fy_token* anchor, fy_token* tag) {
        node(anchor, tag);
        if (builder.depth() >= bounds.maxDepth)
            throw Refusal{lastLine, "nested more than " + std::to_string(bounds.maxDepth) + " levels deep"};
        builder.open(kind, lastLine, tokenText(tag));
    }

    TreeBuilder builder;
    const Bounds& bounds;
    int documents = 0;
};

void Loader::take(fy_event* event) {
    if (const fy_mark* mark = fy_event_start_mark(event)) lastLine = mark->line + 1;
    switch (event->type) {
    case FYET_DOCUMENT_START:
        if (++documents > 1) throw Refusal{lastLine, "more than one YAML document"};
        break;
    case FYET_ALIAS: throw Refusal{lastLine, "anchors and aliases are not allowed"};
    case FYET_SCALAR:
        node(event->scalar.anchor, event->scalar.tag);
        builder.scalar(lastLine, tokenText(event->scalar.value), styleOf(event->scalar.value),
                       tokenText(event->scalar.tag));
        break;
    case FYET_SEQUENCE_START:
        open(Kind::Sequence, event->sequence_start.anchor, event->sequence_start.tag);
        break;
    case FYET_MAPPING_START:
        open(Kind::Mapping, event->mapping_start.anchor, event->mapping_start.tag);
        break;
    case FYET_SEQUENCE_END:
    case FYET_MAPPING_END: builder.close(); break;
    default: break;
    }
}

void parse(std::string_view text, Document& doc, const Bounds& bounds) {
    if (text.size() > bounds.maxBytes || text.size() > UINT32_MAX)
        throw Refusal{1, "larger than " + sizeText(bounds.maxBytes)};
    int line = 1;
    if (std::string reason = textFault(text, line); !reason.empty()) throw Refusal{line, reason};
    Parser parser(text);
    Loader loader(doc, text.size(), bounds);
    std::optional<Refusal> refused;
    while (fy_event* event = parser.next()) {
        try {
            if (!refused) loader.take(event);
        } catch (const Refusal& refusal) {
            refused = refusal;
        }
        parser.free(event);
    }
    // The parser is read to its end even after a refusal: destroyed half way
    // through some texts, the library reads freed state (found by fuzzing).
    // What follows costs no memory of ours: the events are only freed.
    if (refused) throw Refusal{refused->line, refused->reason};
    if (parser.failed()) throw parser.fault(loader.lastLine);
    loader.finish();
}

}  // namespace

bool load(std::string_view text, std::string_view name, const Bounds& bounds, Document& doc,
          std::string& error) {
    try {
        parse(text, doc, bounds);
    } catch (const Refusal& refusal) {
        doc = Document{};
        error = std::string(name) + ":" + std::to_string(refusal.line) + ": " + printable(refusal.reason);
        return false;
    }
    return true;
}

}  // namespace tagyaml
