#include "metrics_text.h"

#include <charconv>
#include <cmath>

namespace exporter {

namespace {

constexpr std::string_view REPLACEMENT = "\xEF\xBF\xBD";

// Length of the valid UTF-8 sequence starting at text[i], 0 if there is none.
size_t utf8Length(std::string_view text, size_t i) {
    auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    if (lead < 0x80) return 1;
    size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                    : lead >= 0xE0 && lead <= 0xEF ? 3
                    : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                   : 0;
    if (length == 0 || i + length > text.size()) return 0;
    for (size_t k = 1; k < length; ++k)
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
    unsigned char second = byte(i + 1);
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) ||
        (lead == 0xF0 && second < 0x90) || (lead == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

std::string escape(std::string_view text, bool quotes) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        char c = text[i];
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '"' && quotes) {
            out += "\\\"";
        } else {
            size_t length = utf8Length(text, i);
            if (length == 0) {
                out += REPLACEMENT;
                ++i;
                continue;
            }
            out.append(text.substr(i, length));
            i += length;
            continue;
        }
        ++i;
    }
    return out;
}

template <typename T>
std::string shortest(T value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    char buffer[64];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return {buffer, result.ptr};
}

}  // namespace

std::string formatValue(double value) { return shortest(value); }
std::string formatValue(float value) { return shortest(value); }

std::string escapeLabelValue(std::string_view text) { return escape(text, true); }
std::string escapeHelp(std::string_view text) { return escape(text, false); }

bool validMetricName(std::string_view name) {
    if (name.empty()) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        char c = name[i];
        bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':';
        if (!letter && !(i > 0 && c >= '0' && c <= '9')) return false;
    }
    return true;
}

void MetricsText::family(std::string_view name, std::string_view help, std::string_view type) {
    out.append("# HELP ").append(name).append(" ").append(escapeHelp(help)).append("\n");
    out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void MetricsText::labels(const Labels& labels) {
    if (labels.empty()) return;
    out.push_back('{');
    const char* separator = "";
    for (const auto& [key, value] : labels) {
        out.append(separator).append(key).append("=\"").append(escapeLabelValue(value)).append("\"");
        separator = ",";
    }
    out.push_back('}');
}

void MetricsText::sample(std::string_view name, double value, const Labels& labelSet) {
    out.append(name);
    labels(labelSet);
    out.append(" ").append(formatValue(value)).append("\n");
}

void MetricsText::sample(std::string_view name, uint64_t value, const Labels& labelSet) {
    out.append(name);
    labels(labelSet);
    out.append(" ").append(std::to_string(value)).append("\n");
}

void MetricsText::sample(std::string_view name, float value, const Labels& labelSet) {
    out.append(name);
    labels(labelSet);
    out.append(" ").append(formatValue(value)).append("\n");
}

void MetricsText::gauge(std::string_view name, std::string_view help, double value) {
    family(name, help, "gauge");
    sample(name, value);
}

}  // namespace exporter
