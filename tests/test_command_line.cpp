// The companion programs' command lines: the shared table's parse, then
// each program as a child process (-h, --version, a value option given
// twice).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "command_line.h"
#include "run_program.h"

namespace {

struct Parsed {
    cmdline::Outcome outcome = cmdline::Outcome::Run;
    std::string error;  // empty when the parse succeeded
    std::string port;
    std::vector<std::string> files;
    int verbose = 0;
    std::vector<std::string> words;
};

// A small table as the programs write theirs; with words, the arguments
// after the options are words (as tagpoll's).
Parsed parse(std::vector<std::string> args, bool words = false) {
    Parsed p;
    cmdline::CommandLine line("prog", {[](const std::string& a) { return "unknown " + a; },
                                       [](const std::string& a) { return "no value for " + a; },
                                       [](const std::string& a) { return "stray " + a; }});
    line.single({"-p", "--port"}, "PORT", "a port", [&p](const std::string& v) {
        if (v.empty() || v.find_first_not_of("0123456789") != std::string::npos)
            throw cmdline::UsageError("bad port '" + v + "'");
        p.port = v;
    });
    line.repeatable({"-f", "--file"}, "FILE", "a file", [&p](const std::string& v) { p.files.push_back(v); });
    line.flag({"-v", "--verbose"}, "more", [&p] { ++p.verbose; });
    line.helpAndVersion(true, "help", "version");
    if (words) line.wordsAfterOptions(p.words);
    args.insert(args.begin(), "prog");
    std::vector<char*> argv;
    argv.reserve(args.size());
    for (std::string& a : args) argv.push_back(a.data());
    try {
        p.outcome = line.parse(int(argv.size()), argv.data());
    } catch (const cmdline::UsageError& e) {
        p.error = e.what();
    }
    return p;
}

TEST(CommandLine, ValueOptionsOnceRepeatableOnesAndFlagsAgain) {
    Parsed p = parse({"-f", "a", "--file=b", "-vv", "--port", "5", "-f", "-", "--verbose"});
    EXPECT_EQ(p.error, "");
    EXPECT_EQ(p.port, "5");
    EXPECT_EQ(p.files, (std::vector<std::string>{"a", "b", "-"}));
    EXPECT_EQ(p.verbose, 3);
    const std::pair<std::vector<std::string>, std::string> refused[] = {
        {{"-p", "1", "-p", "2"}, "--port given more than once"},
        {{"-p", "1", "--port=1"}, "--port given more than once"},
        {{"--port=", "-p", "1"}, "bad port ''"},  // "--port=" is an empty value, as getopt reads it
        {{"-p"}, "no value for -p"},
        {{"-vp"}, "no value for -vp"},
        {{"-vx"}, "unknown -x"},
        {{"--verbose=2"}, "--verbose takes no value"},
        {{"--help=yes"}, "--help takes no value"},
        // The first fault in the order given is the one told.
        {{"--bogus", "-p", "x"}, "unknown --bogus"},
        {{"-p", "x", "--bogus"}, "bad port 'x'"},
        {{"stray", "-p", "1"}, "stray stray"},
        {{"-f", "a", "--", "-v"}, "stray -v"},
    };
    for (const auto& [args, error] : refused) EXPECT_EQ(parse(args).error, error) << args[0];
}

TEST(CommandLine, HelpAndVersionEndTheParseWhereTheyStand) {
    EXPECT_EQ(parse({"-h"}).outcome, cmdline::Outcome::Help);
    EXPECT_EQ(parse({"--version", "-p", "x"}).outcome, cmdline::Outcome::Version);
    Parsed p = parse({"-p", "1", "--help", "-p", "2", "--bogus"});
    EXPECT_EQ(p.error, "");
    EXPECT_EQ(p.outcome, cmdline::Outcome::Help);
    EXPECT_EQ(parse({"-p", "x", "--help"}).error, "bad port 'x'");
}

TEST(CommandLine, WordsStartAtTheFirstArgumentThatIsNoOption) {
    Parsed p = parse({"-p", "1", "GET:", "-p", "2", "--x"}, true);
    EXPECT_EQ(p.error, "");
    EXPECT_EQ(p.port, "1");
    EXPECT_EQ(p.words, (std::vector<std::string>{"GET:", "-p", "2", "--x"}));
    EXPECT_EQ(parse({"--", "-p"}, true).words, std::vector<std::string>{"-p"});
    EXPECT_EQ(parse({"-x", "GET:"}, true).error, "unknown -x");
}

struct ProgramCase {
    const char* path;
    const char* name;
    std::vector<std::string> twice;  // a value option given twice
    const char* complaint;           // the first line on standard error then
    const char* usage;               // how -h's output starts
};

// Each companion program: -h and --help print the help and exit 0,
// --version prints the name and version, a value option given twice exits
// 2 naming it.
TEST(ProgramOptions, HelpVersionAndAValueOptionGivenTwice) {
    const ProgramCase cases[] = {
        {TAGPOLL_PATH,
         "tagpoll",
         {"-t", "1", "--target", "127.0.0.1", "-t", "2", "GET:", "TAG_DEV_ID"},
         "tagpoll: --timeout given more than once",
         "Usage: tagpoll [OPTIONS]"},
        {TAGAGENT_PATH,
         "tagagent",
         {"-p", "0", "--port", "0"},
         "tagagent: --port given more than once",
         "Usage: tagagent [OPTION]..."},
        {TAG_EXPORTER_PATH,
         "tag_exporter",
         {"--web.listen-address=127.0.0.1:0", "--web.listen-address=127.0.0.1:0"},
         "tag_exporter: --web.listen-address given more than once",
         "usage: tag_exporter [FLAGS]"},
        {TAGCONF_PATH,
         "tagconf",
         {"plan", "state.yml", "--out", "a", "--out", "b"},
         "tagconf: --out given more than once",
         "Brings a fleet"},
    };
    for (const ProgramCase& c : cases) {
        for (const char* help : {"-h", "--help"}) {
            RunResult r = runProgram(c.path, {help});
            EXPECT_EQ(r.status, 0) << c.name << " " << help;
            EXPECT_EQ(r.out.rfind(c.usage, 0), 0u) << c.name << " " << help << ": " << r.out;
            EXPECT_EQ(r.err, "") << c.name;
        }
        RunResult v = runProgram(c.path, {"--version"});
        EXPECT_EQ(v.status, 0) << c.name;
        EXPECT_EQ(v.out, std::string(c.name) + " " + PROJECT_VERSION + "\n");
        RunResult twice = runProgram(c.path, c.twice);
        // tagconf's usage errors share 1 with its other failures, as its
        // manual page says; the others exit 2.
        EXPECT_EQ(twice.status, std::string(c.name) == "tagconf" ? 1 : 2) << c.name;
        EXPECT_EQ(twice.err.substr(0, twice.err.find('\n')), c.complaint);
        EXPECT_EQ(twice.out, "") << c.name;
    }
}

// What the manual pages call repeatable is taken again, each value kept:
// parsed up to --version, which then ends the run with status 0.
TEST(ProgramOptions, RepeatableOptionsAreTakenAgain) {
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {TAGPOLL_PATH,
         {"-f", "a", "--file", "b", "--target", "127.0.0.1", "--target", "[::1]:1", "--version"}},
        {TAGAGENT_PATH,
         {"--read-only", "TAG_DEV_STATE", "--read-only", "TAG_DEV_LABEL,TAG_IO_GAIN", "--version"}},
    };
    for (const auto& [path, args] : cases) {
        RunResult r = runProgram(path, args);
        EXPECT_EQ(r.status, 0) << path << ": " << r.err;
        EXPECT_EQ(r.err, "") << path;
    }
}

// Each tagconf command's help names the program before the command, asked
// for before or after the command's name.
TEST(ProgramOptions, TagconfCommandHelpNamesTheProgram) {
    for (const char* command : {"plan", "apply", "save", "validate"}) {
        for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
                 {command, "--help"}, {command, "-h"}, {"-t", "1", command, "-h"}, {"--help", command}}) {
            RunResult r = runProgram(TAGCONF_PATH, args);
            EXPECT_EQ(r.status, 0) << command;
            EXPECT_NE(r.out.find(std::string("\nUsage: tagconf ") + command + " [OPTIONS]"),
                      std::string::npos)
                << r.out;
        }
    }
}

}  // namespace
