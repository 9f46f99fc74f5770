// The logging set-up: which records reach standard error, and that a second
// init does not double them. Standard error is captured at the descriptor
// level because the appender writes to descriptor 2 directly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>

#include <log4cpp/Category.hh>
#include <log4cpp/Priority.hh>

#include "vlog.h"

namespace {

// Runs body with descriptor 2 pointed at an anonymous temporary file and
// returns what was written there. Descriptor 2 is restored afterwards.
std::string captureStderr(const std::function<void()>& body) {
    std::fflush(stderr);
    FILE* tmp = std::tmpfile();
    if (!tmp) {
        ADD_FAILURE() << "tmpfile failed";
        return {};
    }
    const int saved = dup(STDERR_FILENO);
    if (saved < 0 || dup2(fileno(tmp), STDERR_FILENO) < 0) {
        ADD_FAILURE() << "cannot redirect standard error";
        std::fclose(tmp);
        return {};
    }
    body();
    std::fflush(stderr);
    dup2(saved, STDERR_FILENO);
    close(saved);

    std::string out;
    std::rewind(tmp);
    char chunk[512];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, tmp)) > 0) out.append(chunk, n);
    std::fclose(tmp);
    return out;
}

size_t lines(const std::string& s) { return size_t(std::count(s.begin(), s.end(), '\n')); }

TEST(Vlog, ErrorPriorityDropsWarningsAndPrintsErrors) {
    cVlog::init(cVlog::VlogPiority(300));
    log4cpp::Category& root = log4cpp::Category::getRoot();
    EXPECT_EQ(captureStderr([&] { root.warn("warning-record-7341"); }), "");
    EXPECT_EQ(captureStderr([&] { root.info("info-record-7341"); }), "");

    const std::string out = captureStderr([&] { root.error("error-record-7341"); });
    EXPECT_EQ(lines(out), 1u) << out;
    EXPECT_NE(out.find("error-record-7341"), std::string::npos) << out;
    EXPECT_NE(out.find("ERROR"), std::string::npos) << out;
    EXPECT_EQ(out.back(), '\n');

    const std::string crit = captureStderr([&] { root.crit("crit-record-7341"); });
    EXPECT_EQ(lines(crit), 1u) << "more severe records print too: " << crit;
}

TEST(Vlog, RecordsOfANamedCategoryReachTheSameAppender) {
    cVlog::init(cVlog::ERROR);
    log4cpp::Category& sub = log4cpp::Category::getInstance("vlog-test-sub");
    EXPECT_EQ(captureStderr([&] { sub.warn("sub-warning"); }), "");
    const std::string out = captureStderr([&] { sub.error("sub-error"); });
    EXPECT_EQ(lines(out), 1u) << out;
    EXPECT_NE(out.find("sub-error"), std::string::npos) << out;
}

TEST(Vlog, SecondInitAddsNoSecondAppender) {
    cVlog::init(cVlog::ERROR);
    cVlog::init(cVlog::ERROR);
    const std::string out = captureStderr([] { log4cpp::Category::getRoot().error("twice-init"); });
    EXPECT_EQ(lines(out), 1u) << out;
}

TEST(Vlog, SecondInitChangesThePriority) {
    cVlog::init(cVlog::WARN);
    log4cpp::Category& root = log4cpp::Category::getRoot();
    EXPECT_EQ(lines(captureStderr([&] { root.warn("warn-shown"); })), 1u);
    cVlog::init(cVlog::ERROR);
    EXPECT_EQ(captureStderr([&] { root.warn("warn-hidden"); }), "");
    EXPECT_EQ(lines(captureStderr([&] { root.error("error-shown"); })), 1u);
}

// The appender must not own descriptor 2: log4cpp destroys its appenders on
// Category::shutdown() and again in its own teardown at exit, and whatever
// writes to standard error after that (later destructors, the sanitizers'
// exit reports) would find it closed, or reused by another file. Runs in a
// child so this process keeps its standard error either way.
// Disabled: the appender is a FileAppender built on descriptor 2, which it
// closes when destroyed.
TEST(Vlog, StandardErrorStaysOpenWhenLog4cppDropsTheAppender) {
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        cVlog::init(cVlog::ERROR);
        log4cpp::Category::shutdown();
        _exit(fcntl(STDERR_FILENO, F_GETFD) == -1 ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "descriptor 2 was closed";
}

TEST(Vlog, PriorityValuesAreLog4cppsScale) {
    using P = log4cpp::Priority;
    EXPECT_EQ(int(cVlog::EMERG), int(P::EMERG));
    EXPECT_EQ(int(cVlog::FATAL), int(P::FATAL));
    EXPECT_EQ(int(cVlog::ALERT), int(P::ALERT));
    EXPECT_EQ(int(cVlog::CRIT), int(P::CRIT));
    EXPECT_EQ(int(cVlog::ERROR), int(P::ERROR));
    EXPECT_EQ(int(cVlog::WARN), int(P::WARN));
    EXPECT_EQ(int(cVlog::NOTICE), int(P::NOTICE));
    EXPECT_EQ(int(cVlog::INFO), int(P::INFO));
    EXPECT_EQ(int(cVlog::DEBUG), int(P::DEBUG));
    EXPECT_EQ(int(cVlog::NOTSET), int(P::NOTSET));
    EXPECT_EQ(int(cVlog::ERROR), 300) << "the client passes 300 for errors only";
}

}  // namespace
