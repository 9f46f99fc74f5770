// One probe: GET the tags of the asked modules from one device and turn the
// reply into metrics. A device that does not answer is a probe that failed
// (tag_probe_success 0), never an error of the request.
#ifndef EXPORTER_PROBE_H
#define EXPORTER_PROBE_H

#include <netinet/in.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "config.h"
#include "query.h"
#include "transport.h"

namespace exporter {

using Seconds = std::chrono::duration<double>;

// What a probe will ask, from the query and the modules it names.
struct ProbePlan {
    std::vector<uint8_t> tags;  // every module's tags, in order, without repeats
    uint16_t port = 0;          // the query's, else the first module's
    unsigned retries = 0;       // the most any module asks for
    Seconds budget{0};          // the whole probe, retries included
    bool debug = false;         // keep a log of the probe (ProbeOutcome::log)
};

// The probe's time budget: the scrape time-out less the margin, never more
// than the module's own time-out; the module's time-out when Prometheus sent
// none. A margin as large as the time-out leaves half the time-out.
Seconds probeBudget(std::optional<double> scrapeTimeout, double margin, double moduleTimeout);

// False with the reason when a module is not configured.
bool planProbe(const ProbeQuery& query, const Config& config, std::optional<double> scrapeTimeout,
               double margin, ProbePlan& plan, std::string& reason);

// What a probe cost on the network, every exchange of it together (a probe
// asks again without the tags an ERR reply names).
struct ProbeFigures {
    int attempts = 0;              // requests sent, retries included
    size_t datagramsSent = 0;      // one per attempt: a request fits one datagram
    size_t datagramsReceived = 0;  // reply segments taken, of any attempt
};

// The metrics of a probe: one gauge or info metric per tag of the reply
// (none when reply is null), then tag_probe_success,
// tag_probe_duration_seconds, tag_probe_values_dropped, tag_probe_attempts,
// tag_probe_datagrams_sent and tag_probe_datagrams_received. The tag table's
// kind decides each tag's metric: a value of another kind is left out and
// counted in tag_probe_values_dropped.
std::string probeMetrics(const VMsg* reply, bool success, double seconds, const ProbeFigures& figures = {});

struct ProbeOutcome {
    bool success = false;
    std::string text;              // the exposition
    int attempts = 0;              // datagrams sent
    std::string why;               // for the log: how the exchange ended
    std::vector<uint8_t> notHeld;  // tags an ERR reply said the device does not hold
    std::string log;               // ProbePlan::debug: the probe's log, then the metrics
};
using ProbeDone = std::function<void(ProbeOutcome&&)>;

// Runs the probe on the transport; done runs once on the transport's thread.
// An ERR reply that names tags the device does not hold is asked again
// without them, within the same budget, so that one tag missing from a
// device does not hide the others.
void runProbe(Transport& transport, const std::string& target, const sockaddr_storage& address,
              const ProbePlan& plan, ProbeDone done);

}  // namespace exporter

#endif
