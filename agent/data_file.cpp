#include "data_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "tag_convert.h"
#include "tag_vocabulary.h"

namespace {

constexpr const char BLANKS[] = " \t\r\n\f\v";

std::string_view trim(std::string_view s) {
    size_t first = s.find_first_not_of(BLANKS);
    if (first == std::string_view::npos) return {};
    return s.substr(first, s.find_last_not_of(BLANKS) - first + 1);
}

// Stores one trimmed, non-comment line; the reason when it is refused.
bool loadLine(std::string_view line, TagStore& store, std::string& why) {
    // Names and values travel as C strings: a NUL would silently cut them.
    if (line.find('\0') != std::string_view::npos) {
        why = "NUL byte in line";
        return false;
    }
    size_t eq = line.find('=');
    if (eq == std::string_view::npos) {
        why = "missing '=' in '" + std::string(line) + "'";
        return false;
    }
    std::string name(line.substr(0, eq)), value(line.substr(eq + 1));
    const TagEntry* entry = tagByName(name.c_str());
    if (!entry) {
        why = "unknown tag name '" + name + "'";
        return false;
    }
    if (entry->kind == TagKind::None) {
        why = std::string(entry->name) + " takes no value";
        return false;
    }
    if (!store.put(std::unique_ptr<VTag>(makeTag(*entry, value.c_str())), &why)) {
        why = std::string(entry->name) + ": " + why;
        return false;
    }
    return true;
}

// Far beyond any real store (182 tags of at most 1015 bytes), and a bound on
// what a mistaken path such as /dev/zero can make the agent read.
constexpr size_t MAX_DATA_FILE = size_t{1024} * 1024;

bool readWhole(const std::string& path, std::string& text, std::string& why) {
    FILE* f = fopen(path.c_str(), "r");
    if (!f) {
        why = strerror(errno);
        return false;
    }
    char chunk[4096];
    size_t n;
    bool tooLarge = false;
    while (!tooLarge && (n = fread(chunk, 1, sizeof chunk, f)) > 0) {
        text.append(chunk, n);
        tooLarge = text.size() > MAX_DATA_FILE;
    }
    // A directory opens fine and fails only on reading.
    bool failed = ferror(f);
    int error = errno;
    fclose(f);
    if (failed) why = strerror(error);
    if (tooLarge) why = "larger than 1 MiB; 182 tags never need that much";
    return !failed && !tooLarge;
}

}  // namespace

std::vector<LineProblem> loadTagText(std::string_view text, TagStore& store) {
    std::vector<LineProblem> problems;
    unsigned number = 0;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        ++number;
        if (line.empty() || line.front() == '#') continue;
        std::string why;
        if (!loadLine(line, store, why)) problems.push_back({number, why});
    }
    return problems;
}

std::vector<std::string> loadTagFile(const std::string& path, TagStore& store) {
    std::string text, why;
    if (!readWhole(path, text, why)) return {path + ": " + why};
    std::vector<std::string> complaints;
    for (const LineProblem& p : loadTagText(text, store))
        complaints.push_back(path + ":" + std::to_string(p.line) + ": " + p.reason);
    return complaints;
}
