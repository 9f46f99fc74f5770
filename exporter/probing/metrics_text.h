// Writing the Prometheus text exposition format (version 0.0.4). Numbers are
// written without the C locale, so a comma-decimal locale never leaks in.
#ifndef EXPORTER_METRICS_TEXT_H
#define EXPORTER_METRICS_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace exporter {

constexpr const char TEXT_CONTENT_TYPE[] = "text/plain; version=0.0.4; charset=utf-8";

using Labels = std::vector<std::pair<std::string_view, std::string_view>>;

class MetricsText {
public:
    // Starts a family: "# HELP" and "# TYPE" lines. type is gauge, counter,
    // histogram or untyped.
    void family(std::string_view name, std::string_view help, std::string_view type);
    void sample(std::string_view name, double value, const Labels& labels = {});
    void sample(std::string_view name, uint64_t value, const Labels& labels = {});
    // A single-precision value as its own shortest text (0.1, not 0.10000000149011612).
    void sample(std::string_view name, float value, const Labels& labels = {});
    // The family and its one sample.
    void gauge(std::string_view name, std::string_view help, double value);

    const std::string& text() const { return out; }
    std::string take() { return std::move(out); }

private:
    void labels(const Labels& labels);
    std::string out;
};

// The shortest text that reads back as the same double: "NaN", "+Inf" and
// "-Inf" for the non-finite ones.
std::string formatValue(double value);
// The same for a float, so a single-precision 0.1 prints as 0.1.
std::string formatValue(float value);

// A label value with backslash, double quote and newline escaped, and bytes
// that are not UTF-8 replaced by U+FFFD, so that any text a device holds
// still makes a valid exposition.
std::string escapeLabelValue(std::string_view text);
// HELP text: backslash and newline escaped, invalid UTF-8 replaced.
std::string escapeHelp(std::string_view text);

// Whether the text is a valid metric name ([a-zA-Z_:][a-zA-Z0-9_:]*).
bool validMetricName(std::string_view name);

}  // namespace exporter

#endif
