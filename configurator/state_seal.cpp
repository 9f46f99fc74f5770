#include "state_seal.h"

#include <charconv>

namespace tagconf {

namespace {

// N when the text is a decimal count and nothing else.
std::optional<size_t> count(std::string_view text) {
    size_t n = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
    if (text.empty() || error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return n;
}

// The first line that is neither empty nor a comment.
std::string_view firstContentLine(std::string_view text) {
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.front() != '#' && line != "\r") return line;
        if (end == std::string_view::npos) break;
        text.remove_prefix(end + 1);
    }
    return {};
}

int lineCount(std::string_view text) {
    int lines = 1;
    for (size_t i = 0; i + 1 < text.size(); ++i) lines += text[i] == '\n';
    return lines;
}

}  // namespace

std::string sealOpening(size_t targets) { return "saved: " + std::to_string(targets) + "\n"; }

std::string sealClosing(size_t targets) { return "end: " + std::to_string(targets) + "\n"; }

std::string cutFault(std::string_view text, int& line) {
    std::string_view first = firstContentLine(text);
    constexpr std::string_view KEY = "saved: ";
    if (!first.starts_with(KEY)) return {};
    std::optional<size_t> n = count(first.substr(KEY.size()));
    if (!n) return {};  // not a count: the seal's own check names it
    if (text.ends_with("\n" + sealClosing(*n))) return {};
    line = lineCount(text);
    return "the file ends before its closing line \"end: " + std::to_string(*n) + "\": it was cut short";
}

std::string sealFault(const SealKeys& keys, size_t targets, size_t overrides, int& line) {
    if (!keys.saved && !keys.end) return {};
    line = keys.saved ? keys.savedLine : keys.endLine;
    if (!keys.saved) return "\"end\" without \"saved\": a saved file opens with \"saved: N\"";
    std::optional<size_t> saved = count(*keys.saved);
    if (!saved) return "saved must be the number of targets the file holds";
    line = keys.endLine;
    if (!keys.end) return "the file ends before its closing line \"end: " + std::to_string(*saved) + "\"";
    if (count(*keys.end) != saved) return "end does not repeat saved's " + std::to_string(*saved);
    line = keys.savedLine;
    if (targets != *saved || overrides != *saved)
        return "saved promises " + std::to_string(*saved) +
               " targets, each with an override; the file holds " + std::to_string(targets) +
               " targets and " + std::to_string(overrides) +
               " overrides (a saved file edited by hand must lose its saved and end lines)";
    return {};
}

}  // namespace tagconf
