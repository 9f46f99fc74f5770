#include "exporter_stats.h"

#include <dirent.h>
#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "metrics_text.h"

namespace exporter {

namespace {

constexpr const char* RESULT_NAMES[] = {"success", "failure", "bad_request", "overloaded"};

struct ProcessFigures {
    double cpuSeconds = 0, startTime = 0;
    uint64_t virtualBytes = 0, residentBytes = 0, openFds = 0, maxFds = 0;
};

double bootTime() {
    std::ifstream stat("/proc/stat");
    std::string key;
    double value = 0;
    while (stat >> key)
        if (key == "btime" && stat >> value) return value;
    return 0;
}

ProcessFigures readProcess() {
    ProcessFigures figures;
    std::ifstream statFile("/proc/self/stat");
    std::string line;
    std::getline(statFile, line);
    // Fields after the command name, which may itself hold spaces.
    size_t close = line.rfind(')');
    if (close != std::string::npos) {
        std::istringstream fields(line.substr(close + 2));
        std::string field;
        double ticks = double(sysconf(_SC_CLK_TCK));
        uint64_t utime = 0, stime = 0, start = 0, vsize = 0;
        int64_t rss = 0;
        for (int index = 3; fields >> field; ++index) {
            if (index == 14) utime = std::stoull(field);
            if (index == 15) stime = std::stoull(field);
            if (index == 22) start = std::stoull(field);
            if (index == 23) vsize = std::stoull(field);
            if (index == 24) rss = std::stoll(field);
        }
        figures.cpuSeconds = double(utime + stime) / ticks;
        figures.startTime = bootTime() + double(start) / ticks;
        figures.virtualBytes = vsize;
        figures.residentBytes = uint64_t(rss) * uint64_t(sysconf(_SC_PAGESIZE));
    }
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(fds))
            if (entry->d_name[0] != '.') ++figures.openFds;
        closedir(fds);
        --figures.openFds;  // the one opendir holds
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0) figures.maxFds = limit.rlim_cur;
    return figures;
}

void writeProcess(MetricsText& out) {
    ProcessFigures p = readProcess();
    out.family("process_cpu_seconds_total", "Total user and system CPU time spent in seconds.", "counter");
    out.sample("process_cpu_seconds_total", p.cpuSeconds);
    out.gauge("process_resident_memory_bytes", "Resident memory size in bytes.", double(p.residentBytes));
    out.gauge("process_virtual_memory_bytes", "Virtual memory size in bytes.", double(p.virtualBytes));
    out.gauge("process_open_fds", "Number of open file descriptors.", double(p.openFds));
    out.gauge("process_max_fds", "Maximum number of open file descriptors.", double(p.maxFds));
    out.gauge("process_start_time_seconds", "Start time of the process since unix epoch in seconds.",
              p.startTime);
}

}  // namespace

void ExporterStats::countProbe(ProbeResult result) { ++probes[size_t(result)]; }

void ExporterStats::observeDuration(double seconds) {
    std::lock_guard lock(histogramLock);
    for (size_t i = 0; i < BUCKETS.size(); ++i)
        if (seconds <= BUCKETS[i]) ++bucketCounts[i];
    ++count;
    sum += seconds;
}

void ExporterStats::countReload(bool ok, double unixTime) {
    ++reloads;
    if (!ok) ++reloadFailures;
    lastReloadOk = ok;
    if (ok) lastReloadTime = unixTime;
}

std::string ExporterStats::render(const std::string& version) const {
    MetricsText out;
    out.family("tag_exporter_build_info", "The exporter's version, in the label.", "gauge");
    out.sample("tag_exporter_build_info", uint64_t{1}, {{"version", version}});
    out.family("tag_exporter_probes_total", "Probe requests by result.", "counter");
    for (size_t i = 0; i < probes.size(); ++i)
        out.sample("tag_exporter_probes_total", probes[i].load(), {{"result", RESULT_NAMES[i]}});
    out.family("tag_exporter_probe_duration_seconds", "Time from a probe's start to its answer.",
               "histogram");
    {
        std::lock_guard lock(histogramLock);
        for (size_t i = 0; i < BUCKETS.size(); ++i) {
            std::string bound = formatValue(BUCKETS[i]);
            out.sample("tag_exporter_probe_duration_seconds_bucket", bucketCounts[i], {{"le", bound}});
        }
        out.sample("tag_exporter_probe_duration_seconds_bucket", count, {{"le", "+Inf"}});
        out.sample("tag_exporter_probe_duration_seconds_sum", sum);
        out.sample("tag_exporter_probe_duration_seconds_count", count);
    }
    out.gauge("tag_exporter_probes_in_flight", "Probes started and not yet answered.",
              double(inFlight.load()));
    out.family("tag_exporter_datagrams_total", "Datagrams sent to devices and read from them.", "counter");
    out.sample("tag_exporter_datagrams_total", sent.load(), {{"direction", "sent"}});
    out.sample("tag_exporter_datagrams_total", received.load(), {{"direction", "received"}});
    out.family("tag_exporter_datagrams_dropped_total",
               "Datagrams read but not taken: another sender, a stray sequence or undecodable.", "counter");
    out.sample("tag_exporter_datagrams_dropped_total", dropped.load());
    out.gauge("tag_exporter_config_last_reload_successful",
              "Whether the last configuration reload succeeded.", lastReloadOk ? 1 : 0);
    out.gauge("tag_exporter_config_last_reload_success_timestamp_seconds",
              "When the configuration was last loaded successfully, in seconds since the epoch.",
              lastReloadTime.load());
    out.family("tag_exporter_config_reloads_total", "Configuration reloads by result.", "counter");
    out.sample("tag_exporter_config_reloads_total", reloads.load() - reloadFailures.load(),
               {{"result", "success"}});
    out.sample("tag_exporter_config_reloads_total", reloadFailures.load(), {{"result", "failure"}});
    out.family("tag_exporter_http_unauthorized_total", "Requests answered 401: credentials missing or wrong.",
               "counter");
    out.sample("tag_exporter_http_unauthorized_total", unauthorised.load());
    out.family("tag_exporter_http_throttled_total",
               "Requests answered 429: their address failed too many password checks of late.", "counter");
    out.sample("tag_exporter_http_throttled_total", throttled.load());
    out.family("tag_exporter_http_password_checks_busy_total",
               "Requests answered 503: too many password checks were waiting.", "counter");
    out.sample("tag_exporter_http_password_checks_busy_total", checksBusy.load());
    writeProcess(out);
    return out.take();
}

}  // namespace exporter
