// A private folder for an end-to-end test's files, removed at the end, and
// the plain text helpers those tests read their files and output with.
#ifndef TEMP_DIR_H
#define TEMP_DIR_H

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

struct TempDir {
    TempDir() {
        char name[] = "/tmp/tag-test-XXXXXX";
        path = mkdtemp(name);
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    // Writes the file and returns its path.
    std::string write(const std::string& name, const std::string& text) const {
        std::ofstream(path + "/" + name) << text;
        return path + "/" + name;
    }
    std::string read(const std::string& name) const {
        std::stringstream s;
        s << std::ifstream(path + "/" + name).rdbuf();
        return s.str();
    }
    std::string path;
};

inline std::string readFile(const std::string& path) {
    std::stringstream s;
    s << std::ifstream(path).rdbuf();
    return s.str();
}

inline std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

#endif
