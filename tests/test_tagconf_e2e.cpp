// tagconf end to end: the real program against a simulated fleet in a real
// tagagent on 127.0.0.0/8, at ports chosen at run time, with lost requests
// and tags the devices will not take.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "agent_process.h"
#include "bound_socket.h"
#include "run_program.h"
#include "temp_dir.h"
#include "udp_peer.h"

namespace {

RunResult tagconf(const std::vector<std::string>& args) { return runWrapped(TAGCONF_PATH, args); }
// Not under valgrind: for the runs that set a scene or check a refusal
// already run whole elsewhere, so that a test stays within the agent's life.
RunResult quickTagconf(const std::vector<std::string>& args) { return runProgram(TAGCONF_PATH, args); }

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
    // The read-only tag never verifies, so every round runs, and at this
    // loss the last round's read-back is lost one time in five: then its
    // verdict is unconfirmed, never an earlier round's mismatch.
    std::string rest = each(t, "changed (3 tags, verified)", 1);
    if (apply.out.starts_with(t[0] + "\tunconfirmed"))
        EXPECT_EQ(apply.out,
                  t[0] + "\tunconfirmed: written, not read back (timed out after 13 rounds)\n" + rest +
                      "20 targets: 0 unchanged, 19 changed (57 tags), 0 mismatch, 1 unconfirmed, 0 "
                      "unreachable\n");
    else
        EXPECT_EQ(apply.out,
                  t[0] + "\tmismatch: TAG_DEV_TYPE wrote 07, read 03\n" + rest +
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

// How many SETs an agent started with -v has logged so far.
size_t setsLogged(const std::string& log) {
    size_t count = 0;
    for (size_t at = log.find("SET of "); at != std::string::npos; at = log.find("SET of ", at + 1)) ++count;
    return count;
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
    // A verified write sends its SET again when a read-back comes later than
    // the round trips led it to wait (a busy machine): at least ten, then.
    size_t firstApply = setsLogged(dir.read("agent.log"));
    EXPECT_GE(firstApply, 10u);
    RunResult second = tagconf({"apply", state});
    EXPECT_EQ(second.out, each(t, "unchanged") +
                              "10 targets: 10 unchanged, 0 changed (0 tags), 0 mismatch, 0 unreachable\n");
    EXPECT_EQ(second.status, 0);
    EXPECT_EQ(setsLogged(dir.read("agent.log")), firstApply);  // the second apply sent none

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

    // At least ten SETs for the restore, and the agent's own count agrees.
    size_t all = setsLogged(dir.read("agent.log"));
    EXPECT_GE(all, firstApply + 10);
    agent->stop();
    agent.reset();
    EXPECT_EQ(setsArrived(dir.read("agent.log")), std::to_string(all));
}

// With one exchange at a time, tagconf hands the engine 64 targets at a
// time: every target of a larger fleet is still read, written and checked,
// and a target whose tags differ from the rest asks for its own.
TEST(TagconfE2E, AFleetLargerThanTheWindowIsHandedOverInTurn) {
    TempDir dir;
    AgentProcess agent({"--devices", "150", "--targets-file", dir.path + "/fleet.txt"});
    std::vector<std::string> t = lines(dir.read("fleet.txt"));
    ASSERT_EQ(t.size(), 150u);
    std::string state = dir.write("state.yml",
                                  "targets_file: fleet.txt\n"
                                  "tags: {TAG_DEV_LABEL: Rack, TAG_DEV_STATE: 1A}\n"
                                  "overrides:\n  \"" +
                                      t[149] + "\": {TAG_DEV_ID: 2A}\n");
    RunResult apply = tagconf({"apply", "-c", "1", state});
    std::vector<std::string> head(t.begin(), t.end() - 1);
    EXPECT_EQ(apply.out, each(head, "changed (2 tags, verified)") + t[149] +
                             "\tchanged (3 tags, verified)\n" +
                             "150 targets: 0 unchanged, 150 changed (301 tags), 0 mismatch, 0 unreachable\n");
    EXPECT_EQ(apply.status, 0) << apply.err;
    RunResult plan = tagconf({"plan", "-c", "1", state});
    EXPECT_EQ(plan.out,
              each(t, "unchanged") + "150 targets: 150 unchanged, 0 to change (0 tags), 0 unreachable\n");
    EXPECT_EQ(plan.status, 0) << plan.err;
}

// Targets written one after another with as many tags but other values
// each get their own: a write shares its message only with targets writing
// the very same values.
TEST(TagconfE2E, NeighboursWritingOtherValuesEachGetTheirOwn) {
    TempDir dir;
    AgentProcess agent({"--devices", "6", "--targets-file", dir.path + "/fleet.txt"});
    std::vector<std::string> t = lines(dir.read("fleet.txt"));
    ASSERT_EQ(t.size(), 6u);
    auto override = [&t](size_t i, const std::string& tags) { return "  \"" + t[i] + "\": " + tags + "\n"; };
    std::string state =
        dir.write("state.yml",
                  "targets_file: fleet.txt\n"
                  "tags: {TAG_DEV_LABEL: Rack, TAG_DEV_STATE: 1A}\n"
                  "overrides:\n" +
                      override(1, "{TAG_DEV_LABEL: \"Rack b\"}") + override(2, "{TAG_DEV_STATE: 2B}") +
                      override(4, "{TAG_DEV_LABEL: \"Rack e\"}"));
    RunResult apply = tagconf({"apply", state});
    EXPECT_EQ(apply.out, each(t, "changed (2 tags, verified)") +
                             "6 targets: 0 unchanged, 6 changed (12 tags), 0 mismatch, 0 unreachable\n");
    EXPECT_EQ(apply.status, 0) << apply.err;
    const char* held[] = {"\"Rack\" TAG_DEV_STATE=1A",   "\"Rack b\" TAG_DEV_STATE=1A",
                          "\"Rack\" TAG_DEV_STATE=2B",   "\"Rack\" TAG_DEV_STATE=1A",
                          "\"Rack e\" TAG_DEV_STATE=1A", "\"Rack\" TAG_DEV_STATE=1A"};
    std::vector<std::string> args{"-f", dir.path + "/fleet.txt", "GET:", "TAG_DEV_LABEL", "TAG_DEV_STATE"};
    std::vector<std::string> polled = lines(runProgram(TAGPOLL_PATH, args).out);
    std::sort(polled.begin(), polled.end());  // in the order they answered
    std::vector<std::string> expected;
    for (size_t i = 0; i < t.size(); ++i) expected.push_back(t[i] + "\tGET: TAG_DEV_LABEL=" + held[i] + " ");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(polled, expected);
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
                  "\"mismatch\":0,\"stale\":0,\"unconfirmed\":0,\"unreachable\":2,\"stopped\":0,\"tags\":0,"
                  "\"exit_status\":1}\n");
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

// What the device at "127.0.0.I:PORT" holds, read by a GET of our own and
// decoded here, not by tagconf: each tag's type code and its bits or bytes
// in hexadecimal.
std::map<uint8_t, std::string> held(const std::string& target, const std::vector<uint8_t>& ids) {
    BoundSocket socket;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(std::stoi(target.substr(target.rfind(':') + 1))));
    inet_pton(AF_INET, target.substr(0, target.rfind(':')).c_str(), &to.sin_addr);
    VMsg get(MSG_GET);
    get.sequence = VMsg::LAST_SEGMENT | 1;
    for (uint8_t id : ids) get.addTag(VTagFactory::createVTag(id));
    Bytes request = encode(get);
    for (int attempt = 0; attempt < 5; ++attempt) {
        sendto(socket.fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        pollfd p{socket.fd, POLLIN, 0};
        if (poll(&p, 1, 1000) != 1) continue;
        uint8_t buf[2048];
        ssize_t n = recv(socket.fd, buf, sizeof buf, 0);
        std::unique_ptr<VMsg> reply(n > 0 ? VMsg::parseMsg(buf, uint16_t(n)) : nullptr);
        if (!reply) continue;
        std::map<uint8_t, std::string> values;
        for (const VTag* t : *reply) {
            char hex[16];
            std::string value = std::to_string(t->type) + ":";
            if (t->type == VTAG_STRING) {
                for (unsigned char c : static_cast<const VTagString*>(t)->text()) {
                    snprintf(hex, sizeof hex, "%02X", c);
                    value += hex;
                }
            } else if (t->type == VTAG_FLOAT || t->type == VTAG_UINT32) {
                snprintf(hex, sizeof hex, "%08X", unsigned(static_cast<const VTagUInt32*>(t)->getValue()));
                value += hex;
            }
            values[t->tagId] = value;
        }
        return values;
    }
    return {};
}

// Ids of TAG_DEV_LABEL, TAG_IO_GAIN, TAG_IO_OFFSET, TAG_SITE_LABEL.
const std::vector<uint8_t> ODD_TAGS = {9, 51, 50, 31};

TEST(TagconfE2E, SaveThenApplyRestoresEveryValueToTheBit) {
    TempDir dir;
    AgentProcess agent({"--devices", "3", "--targets-file", dir.path + "/fleet.txt"});
    std::vector<std::string> t = lines(dir.read("fleet.txt"));
    ASSERT_EQ(t.size(), 3u);
    // Values decimal and plain YAML text cannot hold: NaNs of either sign
    // with payloads, a signalling NaN, -0, noncharacters, controls, line
    // separators and bytes that are not UTF-8.
    std::string odd =
        dir.write("odd.yml",
                  "targets_file: fleet.txt\n"
                  "tags: {TAG_IO_GAIN: !bits FFC00001, TAG_IO_OFFSET: !bits 7F800001,\n"
                  "       TAG_DEV_LABEL: !!binary \"gP9h\",\n"
                  "       TAG_SITE_LABEL: \"\\uFFFE\\uFFFF\\x85\\u2028\\x7F\\x01\\t\"}\n"
                  "overrides:\n  \"" +
                      t[1] + "\": {TAG_IO_GAIN: !bits 80000000, TAG_DEV_LABEL: \"\\U0001FFFE\"}\n");
    RunResult set = quickTagconf({"apply", odd});
    ASSERT_EQ(set.status, 0) << set.out << set.err;
    const std::map<uint8_t, std::string> common = {
        {9, "1:80FF61"}, {51, "6:FFC00001"}, {50, "6:7F800001"}, {31, "1:EFBFBEEFBFBFC285E280A87F0109"}};
    std::map<uint8_t, std::string> second = common;
    second[9] = "1:F09FBFBE";
    second[51] = "6:80000000";
    ASSERT_EQ(held(t[0], ODD_TAGS), common);
    ASSERT_EQ(held(t[1], ODD_TAGS), second);

    std::string backup = dir.path + "/backup.yml";
    const std::vector<std::string> saveArgs{"save",
                                            "-f",
                                            dir.path + "/fleet.txt",
                                            "-o",
                                            backup,
                                            "TAG_DEV_LABEL",
                                            "TAG_IO_GAIN",
                                            "TAG_IO_OFFSET",
                                            "TAG_SITE_LABEL"};
    RunResult save = tagconf(saveArgs);
    ASSERT_EQ(save.status, 0) << save.err;
    RunResult plan = quickTagconf({"plan", backup});
    EXPECT_EQ(plan.out,
              each(t, "unchanged") + "3 targets: 3 unchanged, 0 to change (0 tags), 0 unreachable\n");
    EXPECT_EQ(plan.status, 0);

    std::string plain = dir.write("plain.yml",
                                  "targets_file: fleet.txt\n"
                                  "tags: {TAG_IO_GAIN: 2, TAG_IO_OFFSET: nan, TAG_DEV_LABEL: a, "
                                  "TAG_SITE_LABEL: b}\n");
    EXPECT_EQ(quickTagconf({"apply", plain}).status, 0);
    RunResult restore = tagconf({"apply", backup});
    EXPECT_EQ(restore.out, each(t, "changed (4 tags, verified)") +
                               "3 targets: 0 unchanged, 3 changed (12 tags), 0 mismatch, 0 unreachable\n");
    EXPECT_EQ(restore.status, 0) << restore.err;
    EXPECT_EQ(held(t[0], ODD_TAGS), common);
    EXPECT_EQ(held(t[1], ODD_TAGS), second);
    EXPECT_EQ(held(t[2], ODD_TAGS), common);

    // A fresh save of the restored fleet is the same file, and plans nothing.
    std::string first = readFile(backup);
    ASSERT_EQ(quickTagconf(saveArgs).status, 0);
    EXPECT_EQ(readFile(backup), first);
    EXPECT_EQ(quickTagconf({"plan", backup}).status, 0);
}

TEST(TagconfE2E, ABackupIsReplacedOnlyByAWholeSave) {
    TempDir dir;
    AgentProcess agent({"--devices", "10", "--targets-file", dir.path + "/fleet.txt"});
    std::string fleet = dir.path + "/fleet.txt", backup = dir.path + "/backup.yml";
    ASSERT_EQ(quickTagconf({"save", "-f", fleet, "-o", backup, "TAG_DEV_CFG"}).status, 0);
    chmod(backup.c_str(), 0640);
    const std::string whole = readFile(backup);
    ASSERT_GT(whole.size(), 1024u);

    // A device that does not answer: nothing written, unless asked.
    BoundSocket silent;
    std::string s = "127.0.0.1:" + std::to_string(silent.port);
    std::vector<std::string> args{"save", "-t",       "0.1", "-r", "0",    "-f",
                                  fleet,  "--target", s,     "-o", backup, "TAG_DEV_CFG"};
    RunResult partial = tagconf(args);
    EXPECT_EQ(partial.err, "tagconf: " + s + ": not saved: timed out after 1 attempt\n" +
                               "tagconf: 1 of 11 targets not read: nothing written to " + backup +
                               " (--partial writes the others)\n");
    EXPECT_EQ(partial.status, 1);
    EXPECT_EQ(readFile(backup), whole);
    // Not even with --partial when no target answered, to a file or not.
    RunResult none = quickTagconf(
        {"save", "-t", "0.1", "-r", "0", "--target", s, "--partial", "-o", backup, "TAG_DEV_ID"});
    EXPECT_EQ(none.err, "tagconf: " + s + ": not saved: timed out after 1 attempt\n" +
                            "tagconf: 1 of 1 targets not read: nothing written to " + backup + "\n");
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(readFile(backup), whole);
    RunResult toOutput =
        quickTagconf({"save", "-t", "0.1", "-r", "0", "-f", fleet, "--target", s, "TAG_DEV_ID"});
    EXPECT_EQ(toOutput.out, "");
    EXPECT_EQ(toOutput.status, 1);
    struct stat before {};
    struct stat after {};
    stat(backup.c_str(), &before);
    args.push_back("--partial");
    EXPECT_EQ(tagconf(args).status, 1);
    // A new file in the old one's place, with its mode; the ten that
    // answered hold what they held.
    stat(backup.c_str(), &after);
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_mode & 07777, 0640u);
    EXPECT_EQ(readFile(backup), whole);

    // A write that fails half way (the file size limit) leaves the backup whole.
    RunResult limited = runProgram("/bin/sh", {"-c", "ulimit -f 1; exec \"$0\" \"$@\"", TAGCONF_PATH, "save",
                                               "-f", fleet, "-o", backup, "TAG_DEV_CFG"});
    EXPECT_EQ(limited.err, "tagconf: " + backup + ": cannot write: File too large\n");
    EXPECT_EQ(limited.status, 1);
    EXPECT_EQ(readFile(backup), whole);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path), {}), 2)  // fleet.txt, backup.yml
        << "a temporary file was left";

    // A copy cut at a line boundary is refused, not read as fewer targets.
    std::string cut = dir.write("cut.yml", whole.substr(0, whole.find("\n", whole.size() / 2) + 1));
    RunResult plan = quickTagconf({"plan", cut});
    auto cutLines = std::count(whole.begin(), whole.begin() + std::ptrdiff_t(readFile(cut).size()), '\n');
    EXPECT_EQ(plan.err, "tagconf: " + cut + ":" + std::to_string(cutLines) +
                            ": the file ends before its closing line \"end: 10\": it was cut short\n");
    EXPECT_EQ(plan.out, "");
    EXPECT_EQ(plan.status, 1);

    // Through a link or from a FIFO: refused at once.
    std::filesystem::create_symlink(backup, dir.path + "/link.yml");
    RunResult link = tagconf({"save", "-f", fleet, "-o", dir.path + "/link.yml", "TAG_DEV_ID"});
    EXPECT_EQ(link.err, "tagconf: " + dir.path + "/link.yml: a symbolic link: give the file it points to\n");
    EXPECT_EQ(link.status, 1);
    ASSERT_EQ(mkfifo((dir.path + "/fifo").c_str(), 0600), 0);
    RunResult fifo = quickTagconf({"save", "-f", dir.path + "/fifo", "TAG_DEV_ID"});
    EXPECT_EQ(fifo.err, "tagconf: cannot read " + dir.path + "/fifo: a FIFO, not a regular file\n");
    EXPECT_EQ(fifo.status, 1);
    EXPECT_EQ(readFile(backup), whole);
}

}  // namespace
