#include "yaml_bounds.h"

#include <yaml-cpp/eventhandler.h>
#include <yaml-cpp/exceptions.h>
#include <yaml-cpp/parser.h>

#include <sstream>

namespace tagconf {

namespace {

// Thrown from inside the parser's callbacks, so that a file over a bound
// is not parsed any further (nor any deeper).
struct OverBound {
    int line;
    std::string reason;
};

class BoundsCheck : public YAML::EventHandler {
public:
    void OnDocumentStart(const YAML::Mark& mark) override {
        if (++documents > 1) throw OverBound{mark.line + 1, "more than one YAML document"};
    }
    void OnDocumentEnd() override {}
    void OnNull(const YAML::Mark& mark, YAML::anchor_t anchor) override { node(mark, anchor); }
    void OnAlias(const YAML::Mark& mark, YAML::anchor_t) override { refuseAnchor(mark); }
    void OnScalar(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                  const std::string&) override {
        node(mark, anchor);
    }
    void OnSequenceStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                         YAML::EmitterStyle::value) override {
        open(mark, anchor);
    }
    void OnSequenceEnd() override { --depth; }
    void OnMapStart(const YAML::Mark& mark, const std::string&, YAML::anchor_t anchor,
                    YAML::EmitterStyle::value) override {
        open(mark, anchor);
    }
    void OnMapEnd() override { --depth; }
    void OnAnchor(const YAML::Mark& mark, const std::string&) override { refuseAnchor(mark); }

private:
    [[noreturn]] static void refuseAnchor(const YAML::Mark& mark) {
        throw OverBound{mark.line + 1, "anchors and aliases are not allowed"};
    }
    void node(const YAML::Mark& mark, YAML::anchor_t anchor) {
        if (anchor != YAML::NullAnchor) refuseAnchor(mark);
        if (++nodes > MAX_YAML_NODES)
            throw OverBound{mark.line + 1, "more than " + std::to_string(MAX_YAML_NODES) + " YAML nodes"};
    }
    void open(const YAML::Mark& mark, YAML::anchor_t anchor) {
        node(mark, anchor);
        if (++depth > MAX_YAML_DEPTH)
            throw OverBound{mark.line + 1,
                            "nested more than " + std::to_string(MAX_YAML_DEPTH) + " levels deep"};
    }

    size_t depth = 0;
    size_t nodes = 0;
    int documents = 0;
};

}  // namespace

std::string yamlBoundsFault(const std::string& text, int& line) {
    std::istringstream in(text);
    YAML::Parser parser(in);
    BoundsCheck check;
    try {
        while (parser.HandleNextDocument(check)) {}
    } catch (const OverBound& over) {
        line = over.line;
        return over.reason;
    } catch (const YAML::Exception&) {
        // The loader reports it, with its line.
    }
    return {};
}

}  // namespace tagconf
