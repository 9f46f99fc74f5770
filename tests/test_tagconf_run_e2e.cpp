// tagconf's verdicts against real peers on 127.0.0.0/8: one device under two
// names, a write whose last read-back is lost, two applies at once, and an
// apply stopped by a signal. Ports are chosen free at run time.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <set>
#include <thread>

#include "agent_process.h"
#include "bound_socket.h"
#include "run_program.h"
#include "temp_dir.h"
#include "udp_peer.h"

namespace {

using namespace std::chrono_literals;

// tagconf started in the background, so that a test can run a second one
// beside it or signal it.
class Started {
public:
    Started(const std::vector<std::string>& args, const std::vector<std::string>& env) {
        std::vector<std::string> words{TAGCONF_PATH};
        words.insert(words.end(), args.begin(), args.end());
        std::vector<std::string> environment;
        for (char** e = environ; *e; ++e) environment.emplace_back(*e);
        environment.insert(environment.end(), env.begin(), env.end());
        std::vector<char*> argv, envp;
        for (std::string& w : words) argv.push_back(w.data());
        for (std::string& e : environment) envp.push_back(e.data());
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        int out[2], err[2];
        if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        pid = fork();
        if (pid == 0) {
            dup2(out[1], STDOUT_FILENO);
            dup2(err[1], STDERR_FILENO);
            execve(TAGCONF_PATH, argv.data(), envp.data());
            _exit(127);
        }
        close(out[1]);
        close(err[1]);
        outFd = out[0];
        errFd = err[0];
        // Both pipes read to their end beside the child, so it never stalls.
        outText = std::async(std::launch::async, [fd = outFd] { return readAll(fd); });
        errText = std::async(std::launch::async, [fd = errFd] { return readAll(fd); });
    }
    ~Started() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            finish();
        }
    }
    void signal(int number) const { kill(pid, number); }
    RunResult finish() {
        RunResult r;
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = outText.get();
        r.err = errText.get();
        close(outFd);
        close(errFd);
        return r;
    }
    pid_t pid = -1;

private:
    static std::string readAll(int fd) {
        std::string text;
        char chunk[4096];
        for (ssize_t n; (n = read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, size_t(n));
        return text;
    }
    int outFd = -1, errFd = -1;
    std::future<std::string> outText, errText;
};

// Whether some process holds a lock in the file, polled for up to 10 s.
bool lockedWithin(const std::string& path) {
    for (int i = 0; i < 200; ++i) {
        int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
        struct flock l {};
        l.l_type = F_WRLCK;
        l.l_whence = SEEK_SET;
        bool held = fd >= 0 && fcntl(fd, F_GETLK, &l) == 0 && l.l_type != F_UNLCK;
        if (fd >= 0) close(fd);
        if (held) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

TEST(TagconfRunE2E, OneDeviceUnderTwoNamesIsRefusedBeforeAnythingIsSent) {
    TempDir dir;
    BoundSocket device;
    std::string port = std::to_string(device.port);
    for (const char* other : {"127.1", "localhost", "2130706433", "0x7f.0.0.1", "127.0.0.01"}) {
        std::string state =
            dir.write("state.yml", "targets:\n  - 127.0.0.1:" + port + "\n  - " + other + ":" + port +
                                       "\ntags: {TAG_DEV_LABEL: a}\noverrides:\n  \"" + other + ":" + port +
                                       "\": {TAG_DEV_LABEL: b}\n");
        for (const char* command : {"plan", "apply"}) {
            RunResult r = runProgram(TAGCONF_PATH, {command, state});
            EXPECT_EQ(r.err, "tagconf: " + state + ":3: " + other + ":" + port + " and 127.0.0.1:" + port +
                                 " (" + state + ":2) are one device, 127.0.0.1:" + port +
                                 ": name each device once\n")
                << other;
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.status, 1);
        }
    }
    uint8_t buf[64];
    EXPECT_LT(recv(device.fd, buf, sizeof buf, MSG_DONTWAIT), 0) << "a request went out";
}

TEST(TagconfRunE2E, SaveReadsADeviceNamedTwiceOnce) {
    TempDir dir;
    AgentProcess agent;
    std::string port = std::to_string(agent.port);
    std::string fleet = dir.write("fleet.txt", "127.0.0.1:" + port + "\n127.1:" + port + "\n");
    RunResult save = runProgram(TAGCONF_PATH, {"save", "-f", fleet, "TAG_DEV_ID"});
    EXPECT_EQ(save.err, "tagconf: " + fleet + ":2: 127.1:" + port + " is the device of 127.0.0.1:" + port +
                            " (" + fleet + ":1), 127.0.0.1:" + port + ": saved once\n");
    EXPECT_EQ(save.status, 0);
    // The file names the device once, so apply takes it.
    std::string saved = dir.write("saved.yml", save.out);
    EXPECT_EQ(runProgram(TAGCONF_PATH, {"plan", saved}).status, 0);
}

// The device answers the read, then round 1's read-back with its old label,
// and never round 2's: written twice, confirmed never.
TEST(TagconfRunE2E, WriteWhoseLastReadBackIsLostIsUnconfirmed) {
    TempDir dir;
    UdpPeer device;
    // Sequences: the read 0, round 1's SET 1 and read-back 2, round 2's 3 and 4.
    device.answer({send(segment(MSG_GET, 0x80, {VTagFactory::createVTag(9, "old")})), pause(150ms),
                   send(segment(MSG_GET, 0x82, {VTagFactory::createVTag(9, "old")}))});
    std::string target = "127.0.0.1:" + std::to_string(device.port());
    std::string state = dir.write("state.yml", "targets: [" + target + "]\ntags: {TAG_DEV_LABEL: new}\n");
    RunResult apply = runProgram(TAGCONF_PATH, {"apply", state, "-t", "0.5", "-r", "1"},
                                 {"TAGCONF_LOCK_FILE=" + dir.path + "/lock"});
    device.finish();
    EXPECT_EQ(apply.out,
              target +
                  "\tunconfirmed: written, not read back (timed out after 2 rounds)\n"
                  "1 targets: 0 unchanged, 0 changed (0 tags), 0 mismatch, 1 unconfirmed, 0 unreachable\n");
    EXPECT_EQ(apply.status, 1) << apply.err;
}

TEST(TagconfRunE2E, SecondApplyToTheSameDevicesWaitsOrNamesTheHolder) {
    TempDir dir;
    // Answers a second late: the first apply holds its devices for seconds.
    AgentProcess slow({"--devices", "5", "--targets-file", dir.path + "/slow.txt", "--delay", "1000"});
    AgentProcess other({"--devices", "5", "--targets-file", dir.path + "/other.txt", "-a", "127.0.2.1"});
    std::string both = dir.write("both.yml", "targets_file: slow.txt\ntags: {TAG_DEV_LABEL: first}\n");
    std::string again = dir.write("again.yml", "targets_file: slow.txt\ntags: {TAG_DEV_LABEL: first}\n");
    std::string disjoint = dir.write("disjoint.yml", "targets_file: other.txt\ntags: {TAG_DEV_LABEL: x}\n");
    std::vector<std::string> env{"TAGCONF_LOCK_FILE=" + dir.path + "/tagconf.lock"};

    Started first({"apply", both, "-t", "3"}, env);
    ASSERT_TRUE(lockedWithin(dir.path + "/tagconf.lock"));
    // Disjoint devices do not wait, even without patience.
    RunResult shard = runProgram(TAGCONF_PATH, {"apply", disjoint, "--lock-timeout", "0"}, env);
    EXPECT_EQ(shard.status, 0) << shard.err;
    EXPECT_EQ(shard.err, "");
    // The same devices: a short wait, then the holder named.
    RunResult refused = runProgram(TAGCONF_PATH, {"apply", again, "--lock-timeout", "0.3"}, env);
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err,
              "tagconf: pid " + std::to_string(first.pid) + " (" TAGCONF_PATH " apply " + both +
                  " -t 3) is applying to some of these targets (waited 0.3 s, --lock-timeout)\n");
    // With patience it waits, then reads what the first wrote.
    Started second({"apply", again, "-t", "3", "--lock-timeout", "30"}, env);
    RunResult one = first.finish();
    EXPECT_EQ(one.status, 0) << one.err;
    RunResult two = second.finish();
    EXPECT_EQ(two.status, 0) << two.err;
    EXPECT_TRUE(two.out.ends_with("5 targets: 5 unchanged, 0 changed (0 tags), 0 mismatch, 0 unreachable\n"))
        << two.out;
}

// Stopped while writing, it says what became of every target, then exits as
// the signal says.
TEST(TagconfRunE2E, StoppedApplyReportsEveryTargetAsFarAsKnown) {
    for (int signal : {SIGINT, SIGTERM}) {
        TempDir dir;
        std::string log = dir.path + "/agent.log";
        AgentProcess fleet(
            {"-v", "--devices", "80", "--targets-file", dir.path + "/fleet.txt", "--delay", "300"}, log);
        std::string state =
            dir.write("state.yml", "targets_file: fleet.txt\ntags: {TAG_DEV_LABEL: stopped}\n");
        // Eight at a time, 0.3 s each: every read, then the writes for
        // three seconds. Stopped a little after the first SET arrived.
        Started apply({"apply", state, "-c", "8", "-t", "2"}, {"TAGCONF_LOCK_FILE=" + dir.path + "/lock"});
        for (int i = 0; i < 400 && readFile(log).find("SET") == std::string::npos; ++i)
            std::this_thread::sleep_for(25ms);
        std::this_thread::sleep_for(800ms);
        apply.signal(signal);
        auto stoppedAt = std::chrono::steady_clock::now();
        RunResult r = apply.finish();
        EXPECT_LT(std::chrono::steady_clock::now() - stoppedAt, 1s) << "not stopped at once";
        EXPECT_EQ(r.status, 128 + signal) << r.err;
        std::vector<std::string> lines = splitLines(r.out);
        ASSERT_EQ(lines.size(), 81u) << r.out;
        const std::set<std::string> known{"changed (1 tags, verified)",
                                          "unconfirmed: written, not read back (stopped)",
                                          "stopped: not written", "stopped: not read"};
        size_t changed = 0, unconfirmed = 0, stopped = 0;
        for (size_t i = 0; i < 80; ++i) {
            size_t tab = lines[i].find('\t');
            EXPECT_TRUE(lines[i].starts_with("127.0.0.") && tab != std::string::npos &&
                        known.contains(lines[i].substr(tab + 1)))
                << lines[i];
            changed += lines[i].ends_with("verified)");
            unconfirmed += lines[i].ends_with("(stopped)");
            stopped += lines[i].find("\tstopped: ") != std::string::npos;
        }
        EXPECT_GT(changed, 0u);
        EXPECT_GT(unconfirmed + stopped, 0u) << "it ran to its end";
        std::string summary = "80 targets: 0 unchanged, " + std::to_string(changed) + " changed (" +
                              std::to_string(changed) + " tags), 0 mismatch, ";
        if (unconfirmed) summary += std::to_string(unconfirmed) + " unconfirmed, ";
        summary += "0 unreachable";
        if (stopped) summary += ", " + std::to_string(stopped) + " stopped";
        EXPECT_EQ(lines[80], summary);
    }
}

// Each apply of a split writes its part; together they write every device
// once, after which the whole fleet plans clean. save splits the same way.
TEST(TagconfRunE2E, ShardsOfAFleetApplyAndSaveEveryDeviceOnce) {
    TempDir dir;
    std::string fleet = dir.path + "/fleet.txt";
    AgentProcess agent({"--devices", "30", "--targets-file", fleet});
    std::vector<std::string> targets = splitLines(readFile(fleet));
    std::string list;
    for (const std::string& t : targets) list += "  - " + t + "\n";
    std::string state = dir.write("state.yml", "targets:\n" + list + "tags: {TAG_DEV_LABEL: split}\n");
    std::multiset<std::string> applied, saved;
    for (int index = 0; index < 3; ++index) {
        std::string shard = std::to_string(index) + "/3";
        RunResult r = runProgram(TAGCONF_PATH, {"apply", "--shard", shard, "-t", "0.5", state});
        EXPECT_EQ(r.status, 0) << shard << ": " << r.err;
        for (const std::string& line : splitLines(r.out))
            if (line.find("\tchanged (1 tags, verified)") != std::string::npos)
                applied.insert(line.substr(0, line.find('\t')));
        RunResult s =
            runProgram(TAGCONF_PATH, {"save", "-f", fleet, "--shard", shard, "-t", "0.5", "TAG_DEV_ID"});
        EXPECT_EQ(s.status, 0) << shard << ": " << s.err;
        for (const std::string& t : targets)
            if (s.out.find(t + ":") != std::string::npos || s.out.find(t + "\"") != std::string::npos)
                saved.insert(t);
    }
    std::multiset<std::string> every(targets.begin(), targets.end());
    EXPECT_EQ(applied, every);
    EXPECT_EQ(saved, every);
    RunResult plan = runProgram(TAGCONF_PATH, {"plan", "-t", "0.5", state});
    EXPECT_EQ(plan.status, 0) << plan.out;
    EXPECT_TRUE(plan.out.ends_with("30 targets: 30 unchanged, 0 to change (0 tags), 0 unreachable\n"))
        << plan.out;
}

TEST(TagconfRunE2E, BadShardIsAUsageErrorOfEveryCommand) {
    TempDir dir;
    std::string state = dir.write("state.yml", "targets: [127.0.0.1:9]\ntags: {TAG_DEV_LABEL: a}\n");
    const std::pair<const char*, const char*> cases[] = {
        {"1/1", "bad --shard \"1/1\": N from 1 to 1000000, I from 0 to N-1"},
        {"0/0", "bad --shard \"0/0\": N from 1 to 1000000, I from 0 to N-1"},
        {"-1/2", "bad --shard \"-1/2\": I/N, e.g. 0/4"},
        {"1", "bad --shard \"1\": I/N, e.g. 0/4"},
    };
    for (const auto& [shard, why] : cases) {
        for (std::vector<std::string> args :
             {std::vector<std::string>{"plan", state, "--shard", shard},
              {"--shard", shard, "apply", state},
              {"save", "--target", "127.0.0.1:9", "--shard", shard, "TAG_DEV_ID"}}) {
            RunResult r = runProgram(TAGCONF_PATH, args);
            EXPECT_EQ(r.status, 1) << args[0] << " " << shard;
            EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
            EXPECT_EQ(r.out, "");
        }
    }
}

}  // namespace
