// tagconf end to end: the real program against a simulated fleet in a real
// tagagent on 127.0.0.0/8, at ports chosen at run time, with lost requests
// and tags the devices will not take.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "agent_process.h"
#include "bound_socket.h"
#include "run_program.h"
#include "temp_dir.h"

namespace {

RunResult tagconf(const std::vector<std::string>& args) { return runWrapped(TAGCONF_PATH, args); }

std::vector<std::string> lines(const std::string& text) { return splitLines(text); }

// "TARGET<TAB>WHAT" for every target with the same text.
std::string each(const std::vector<std::string>& targets, const std::string& what, size_t from = 0) {
    std::string out;
    for (size_t i = from; i < targets.size(); ++i) out += targets[i] + "\t" + what + "\n";
    return out;
}

TEST(TagconfE2E, LossyFleetConvergesExceptTheTagItKeepsReadOnly) {
    TempDir dir;
    AgentProcess agent({"--devices", "20", "--targets-file", dir.path + "/fleet.txt", "--loss", "0.2",
                        "--read-only", "TAG_DEV_TYPE"});
    std::vector<std::string> t = lines(dir.read("fleet.txt"));
    ASSERT_EQ(t.size(), 20u);
    std::string state = dir.write("state.yml",
                                  "targets_file: fleet.txt\n"
                                  "tags: {TAG_DEV_LABEL: Rack, TAG_DEV_STATE: 1A, TAG_IO_GAIN: 0.25}\n"
                                  "overrides:\n"
                                  "  \"" +
                                      t[0] + "\": {TAG_DEV_LABEL: \"Rack one\", TAG_DEV_TYPE: 7}\n");
    const std::vector<std::string> patience{"-t", "0.2", "-r", "12"};
    auto run = [&](const std::string& command) {
        std::vector<std::string> args{command, state};
        args.insert(args.end(), patience.begin(), patience.end());
        return tagconf(args);
    };

    RunResult plan = run("plan");
    std::string expected = t[0] + "\tTAG_DEV_LABEL: \"Demo rack controller 1\" -> \"Rack one\"\n" + t[0] +
                           "\tTAG_DEV_STATE: 01 -> 1A\n" + t[0] + "\tTAG_IO_GAIN: 1 -> 0.25\n" + t[0] +
                           "\tTAG_DEV_TYPE: 03 -> 07\n";
    for (size_t i = 1; i < t.size(); ++i)
        expected += t[i] + "\tTAG_DEV_LABEL: \"Demo rack controller " + std::to_string(i + 1) +
                    "\" -> \"Rack\"\n" + t[i] + "\tTAG_DEV_STATE: 01 -> 1A\n" + t[i] +
                    "\tTAG_IO_GAIN: 1 -> 0.25\n";
    EXPECT_EQ(plan.out, expected + "20 targets: 0 unchanged, 20 to change (61 tags), 0 unreachable\n");
    EXPECT_EQ(plan.status, 2) << plan.err;

    RunResult apply = run("apply");
    EXPECT_EQ(apply.out, t[0] + "\tmismatch: TAG_DEV_TYPE wrote 07, read 03\n" +
                             each(t, "changed (3 tags, verified)", 1) +
                             "20 targets: 0 unchanged, 19 changed (57 tags), 1 mismatch, 0 unreachable\n");
    EXPECT_EQ(apply.status, 1) << apply.err;

    // Seen by tagpoll, not by tagconf's own word.
    RunResult poll = runProgram(TAGPOLL_PATH, {"--target", t[0], "--target", t[19], "-t", "0.2", "-r", "12",
                                               "GET:", "TAG_DEV_LABEL", "TAG_DEV_STATE", "TAG_DEV_TYPE"});
    std::vector<std::string> polled = lines(poll.out);
    std::sort(polled.begin(), polled.end());  // in the order they answered
    EXPECT_EQ(polled, lines(t[0] + "\tGET: TAG_DEV_LABEL=\"Rack one\" TAG_DEV_STATE=1A TAG_DEV_TYPE=03 \n" +
                            t[19] + "\tGET: TAG_DEV_LABEL=\"Rack\" TAG_DEV_STATE=1A TAG_DEV_TYPE=03 \n"));

    RunResult again = run("plan");
    EXPECT_EQ(again.out, t[0] + "\tTAG_DEV_TYPE: 03 -> 07\n" + each(t, "unchanged", 1) +
                             "20 targets: 19 unchanged, 1 to change (1 tags), 0 unreachable\n");
    EXPECT_EQ(again.status, 2);
}

// "N" of the closing log line's "N SETs arrived".
std::string setsArrived(const std::string& log) {
    size_t end = log.rfind(" SETs arrived");
    if (end == std::string::npos) return "no closing line";
    size_t begin = log.rfind(' ', end - 1) + 1;
    return log.substr(begin, end - begin);
}

TEST(TagconfE2E, SecondApplySendsNoSetAndSaveThenApplyRestores) {
    TempDir dir;
    std::string log = dir.path + "/agent.log";
    auto agent = std::make_unique<AgentProcess>(
        std::vector<std::string>{"-v", "--devices", "10", "--targets-file", dir.path + "/fleet.txt"}, log);
    std::vector<std::string> t = lines(dir.read("fleet.txt"));
    ASSERT_EQ(t.size(), 10u);
    std::string fleet = dir.path + "/fleet.txt";
    RunResult save =
        tagconf({"save", "-f", fleet, "-o", dir.path + "/before.yml", "TAG_DEV_CFG", "TAG_IO_GAIN"});
    EXPECT_EQ(save.status, 0) << save.err;
    std::string state =
        dir.write("state.yml",
                  "targets_file: fleet.txt\n"
                  "tags: {TAG_DEV_LABEL: \"say \\\"hi\\\"\", TAG_DEV_ID: 2A, TAG_IO_GAIN: 1e-3}\n");
    EXPECT_EQ(tagconf({"apply", state}).out,
              each(t, "changed (3 tags, verified)") +
                  "10 targets: 0 unchanged, 10 changed (30 tags), 0 mismatch, 0 unreachable\n");
    RunResult second = tagconf({"apply", state});
    EXPECT_EQ(second.out, each(t, "unchanged") +
                              "10 targets: 10 unchanged, 0 changed (0 tags), 0 mismatch, 0 unreachable\n");
    EXPECT_EQ(second.status, 0);

    // Restored: every device's own label, id and gain again; the other
    // members of the group were never changed.
    RunResult restore = tagconf({"apply", dir.path + "/before.yml"});
    EXPECT_EQ(restore.out, each(t, "changed (3 tags, verified)") +
                               "10 targets: 0 unchanged, 10 changed (30 tags), 0 mismatch, 0 unreachable\n");
    EXPECT_EQ(restore.status, 0) << restore.err;
    RunResult poll =
        runProgram(TAGPOLL_PATH, {"--target", t[6], "GET:", "TAG_DEV_ID", "TAG_DEV_LABEL", "TAG_IO_GAIN"});
    EXPECT_EQ(
        poll.out,
        t[6] + "\tGET: TAG_DEV_ID=00000007 TAG_DEV_LABEL=\"Demo rack controller 7\" TAG_IO_GAIN=1.000000 \n");

    // Ten SETs for the first apply, ten for the restore, none for the second.
    agent->stop();
    agent.reset();
    EXPECT_EQ(setsArrived(dir.read("agent.log")), "20");
}

TEST(TagconfE2E, UnreachableTargetsAndBadFilesSayWhy) {
    TempDir dir;
    uint16_t closed = BoundSocket().port;
    BoundSocket silent;
    std::string c = "127.0.0.1:" + std::to_string(closed), s = "127.0.0.1:" + std::to_string(silent.port);
    std::string state = dir.write("state.yml", "targets: [" + c + ", " + s + "]\ntags: {TAG_DEV_ID: 1}\n");
    RunResult plan = tagconf({"plan", "-t", "0.1", "-r", "1", state, "--format", "json"});
    EXPECT_EQ(plan.out,
              "{\"target\":\"" + c +
                  "\",\"result\":\"unreachable\",\"attempts\":1,\"changes\":[],\"reason\":\"refused (port "
                  "closed)\"}\n{\"target\":\"" +
                  s +
                  "\",\"result\":\"unreachable\",\"attempts\":2,\"changes\":[],\"reason\":\"timed out after "
                  "2 attempts\"}\n"
                  "{\"summary\":\"plan\",\"targets\":2,\"unchanged\":0,\"to_change\":0,\"changed\":0,"
                  "\"mismatch\":0,\"stale\":0,\"unreachable\":2,\"tags\":0,\"exit_status\":1}\n");
    EXPECT_EQ(plan.err, "2 targets: 0 unchanged, 0 to change (0 tags), 2 unreachable\n");
    EXPECT_EQ(plan.status, 1);

    // Refused before anything is sent: the silent peer receives nothing.
    std::string bad = dir.write("bad.yml", "targets: [" + s + "]\ntags: {TAG_DEV_CFG: 1}\n");
    RunResult refused = runProgram(TAGCONF_PATH, {"apply", bad});
    EXPECT_EQ(refused.err,
              "tagconf: " + bad + ":2: TAG_DEV_CFG is a group tag: it can be read, not written\n");
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.status, 1);
    uint8_t buf[64];
    while (recv(silent.fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {}
    EXPECT_EQ(runProgram(TAGCONF_PATH, {"plan", bad}).status, 1);
    EXPECT_LT(recv(silent.fd, buf, sizeof buf, MSG_DONTWAIT), 0) << "a request went out";
    EXPECT_EQ(runProgram(TAGCONF_PATH, {"--version"}).out, "tagconf " TAGCONF_VERSION "\n");
}

}  // namespace
