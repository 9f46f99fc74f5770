#include "probe.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <set>

#include "metrics_text.h"
#include "msg_request.h"
#include "probe_log.h"
#include "tag_vocabulary.h"

namespace exporter {

namespace {

using tagengine::Clock;

constexpr Seconds SHORTEST_ATTEMPT{0.01};

std::string lowerCase(const char* name) {
    std::string out(name);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return out;
}

std::string helpText(const TagEntry& entry) {
    return "Tag " + std::string(entry.name) + " (id " + std::to_string(entry.id) + ", " +
           kindName(entry.kind) + ") as the device reports it.";
}

bool isInteger(uint32_t type) { return type == VTAG_UINT8 || type == VTAG_UINT16 || type == VTAG_UINT32; }

uint64_t integerOf(const VTag& tag) {
    switch (tag.type) {
    case VTAG_UINT8: return static_cast<const VTagUInt8&>(tag).getValue();
    case VTAG_UINT16: return static_cast<const VTagUInt16&>(tag).getValue();
    default: return static_cast<const VTagUInt32&>(tag).getValue();
    }
}

// Whether the value the device sent is of the kind the tag table gives the
// tag. Integers of any width count as the integer they are; a float may come
// as its 32 bits in an unsigned 32-bit tag.
bool fitsKind(const VTag& tag, TagKind kind) {
    switch (kind) {
    case TagKind::UInt8:
    case TagKind::UInt16:
    case TagKind::UInt32: return isInteger(tag.type);
    case TagKind::String: return tag.type == VTAG_STRING;
    case TagKind::Float: return tag.type == VTAG_FLOAT || tag.type == VTAG_UINT32;
    default: return false;
    }
}

// One tag's metric, its name and type fixed by the tag table, so that one
// tag is always the same series whatever a device sends. Returns false for
// a value of another kind, which is dropped; a tag without a value or a name,
// or a repeated one, writes nothing.
bool writeTag(MetricsText& out, const VTag& tag, std::set<std::string>& written) {
    const TagEntry* entry = tagById(tag.tagId);
    if (!entry || entry->kind == TagKind::None || tag.type == VTAG_NONE || !tag.typeMatchesClass())
        return true;
    if (!fitsKind(tag, entry->kind)) return false;
    std::string name = lowerCase(entry->name);
    if (entry->kind == TagKind::String) name += "_info";
    if (!written.insert(name).second) return true;  // a repeated tag: the first one counts
    if (entry->kind == TagKind::String) {
        out.family(name, helpText(*entry) + " The value is in the label value.", "gauge");
        out.sample(name, uint64_t{1}, {{"value", static_cast<const VTagString&>(tag).text()}});
    } else if (entry->kind == TagKind::Float) {
        out.family(name, helpText(*entry), "gauge");
        out.sample(name, static_cast<const VTagUInt32&>(tag).getFloatValue());
    } else {
        out.family(name, helpText(*entry), "gauge");
        out.sample(name, integerOf(tag));
    }
    return true;
}

// The ids an ERR reply says the device does not hold; empty when the ERR
// says anything else.
std::vector<uint8_t> tagsNotHeld(VMsg& reply) {
    static const uint8_t errTagId = tagByName("TAG_ERR_TAGID")->id;
    std::vector<uint8_t> ids;
    reply.gotoFirst();
    while (const VTag* tag = reply.getTag()) {
        if (tag->tagId != errTagId || tag->type != VTAG_UINT8) return {};
        ids.push_back(static_cast<const VTagUInt8*>(tag)->getValue());
    }
    return ids;
}

std::shared_ptr<const VMsg> getRequest(const std::vector<uint8_t>& tags) {
    auto msg = std::make_shared<VMsg>(MSG_GET);
    for (uint8_t id : tags) msg->addTag(VTagFactory::createVTag(id));
    msg->setLastSegment(true);
    return msg;
}

struct Run : std::enable_shared_from_this<Run> {
    Transport& transport;
    std::string target;
    sockaddr_storage address{};
    ProbePlan plan;
    ProbeDone done;
    Clock::time_point start = Clock::now();
    Clock::time_point deadline;
    ProbeFigures figures;
    bool askedAgain = false;
    std::vector<uint8_t> notHeld;
    std::shared_ptr<ProbeLog> log;  // debug only; written on the engine's thread

    Run(Transport& transport, std::string target, const sockaddr_storage& address, ProbePlan plan,
        ProbeDone done)
        : transport(transport),
          target(std::move(target)),
          address(address),
          plan(std::move(plan)),
          done(std::move(done)) {
        deadline = start + std::chrono::duration_cast<Clock::duration>(this->plan.budget);
        if (this->plan.debug) log = std::make_shared<ProbeLog>(start);
    }

    void ask() {
        tagengine::Exchange exchange;
        exchange.target = target;
        char text[INET6_ADDRSTRLEN] = "";
        bool v6 = address.ss_family == AF_INET6;
        const auto& four = reinterpret_cast<const sockaddr_in&>(address);
        const auto& six = reinterpret_cast<const sockaddr_in6&>(address);
        if (v6)
            inet_ntop(AF_INET6, &six.sin6_addr, text, sizeof text);
        else
            inet_ntop(AF_INET, &four.sin_addr, text, sizeof text);
        exchange.host = text;
        exchange.port = ntohs(v6 ? six.sin6_port : four.sin_port);
        exchange.request = getRequest(plan.tags);
        exchange.retries = int(plan.retries);
        // Doubling attempts (t, 2t, 4t, ...) all fit in what is left.
        Seconds left = deadline - Clock::now();
        Seconds attempt = left / double((2U << plan.retries) - 1);
        exchange.attemptTimeout =
            std::chrono::duration_cast<tagengine::Duration>(std::max(attempt, SHORTEST_ATTEMPT));
        exchange.deadline = deadline;
        if (log) {
            log->request(Clock::now(), exchange.host + ":" + std::to_string(exchange.port),
                         *exchange.request);
            exchange.observe = [log = log](const tagengine::Event& event) { log->event(event); };
        }
        exchange.done = [self = shared_from_this()](tagengine::Result&& result) {
            self->finish(std::move(result));
        };
        transport.submit(std::move(exchange));
    }

    void finish(tagengine::Result&& result) {
        figures.attempts += result.attempts;
        figures.datagramsSent += size_t(result.attempts);
        figures.datagramsReceived += result.segments;
        if (log) log->result(Clock::now(), result);
        if (result.status == tagengine::Status::ErrorReply && !askedAgain && result.reply) {
            std::vector<uint8_t> missing = tagsNotHeld(*result.reply);
            for (uint8_t id : missing)
                if (std::ranges::find(plan.tags, id) != plan.tags.end()) notHeld.push_back(id);
            std::erase_if(plan.tags,
                          [&](uint8_t id) { return std::ranges::find(missing, id) != missing.end(); });
            if (!missing.empty() && !plan.tags.empty() && Clock::now() < deadline) {
                if (log) log->note(Clock::now(), "asking again without the tags the device does not hold");
                askedAgain = true;
                ask();
                return;
            }
            if (!missing.empty() && plan.tags.empty()) {  // holds none of them: an empty answer
                result.status = tagengine::Status::Answered;
                result.reply.reset();
            }
        }
        ProbeOutcome outcome;
        outcome.success = result.status == tagengine::Status::Answered;
        outcome.attempts = figures.attempts;
        outcome.notHeld = std::move(notHeld);
        outcome.why = tagengine::statusName(result.status);
        if (!result.detail.empty()) outcome.why += ": " + result.detail;
        double seconds = Seconds(Clock::now() - start).count();
        outcome.text =
            probeMetrics(outcome.success ? result.reply.get() : nullptr, outcome.success, seconds, figures);
        if (log) {
            log->note(Clock::now(), outcome.success ? "probe succeeded" : "probe failed: " + outcome.why);
            outcome.log =
                log->text() + "\nMetrics that would have been returned:\n" + safeLines(outcome.text);
        }
        done(std::move(outcome));
    }
};

}  // namespace

Seconds probeBudget(std::optional<double> scrapeTimeout, double margin, double moduleTimeout) {
    if (!scrapeTimeout) return Seconds(moduleTimeout);
    double budget = *scrapeTimeout - margin;
    if (budget <= 0) budget = *scrapeTimeout / 2;
    return Seconds(std::min(budget, moduleTimeout));
}

bool planProbe(const ProbeQuery& query, const Config& config, std::optional<double> scrapeTimeout,
               double margin, ProbePlan& plan, std::string& reason) {
    plan = ProbePlan{};
    double timeout = 0;
    for (const std::string& name : query.modules) {
        auto found = config.modules.find(name);
        if (found == config.modules.end()) {
            reason = "unknown module \"" + name.substr(0, 64) + "\"";
            return false;
        }
        const Module& module = found->second;
        for (uint8_t id : module.tags)
            if (std::ranges::find(plan.tags, id) == plan.tags.end()) plan.tags.push_back(id);
        if (plan.port == 0) plan.port = query.port != 0 ? query.port : module.port;
        plan.retries = std::max(plan.retries, module.retries);
        timeout = timeout == 0 ? module.timeoutSeconds : std::min(timeout, module.timeoutSeconds);
    }
    plan.budget = probeBudget(scrapeTimeout, margin, timeout);
    return true;
}

std::string probeMetrics(const VMsg* reply, bool success, double seconds, const ProbeFigures& figures) {
    MetricsText out;
    uint64_t dropped = 0;
    if (reply) {
        std::set<std::string> written;
        // The cursor is the only state getTag changes; the tags stay as they are.
        auto* cursor = const_cast<VMsg*>(reply);
        cursor->gotoFirst();
        while (const VTag* tag = cursor->getTag())
            if (!writeTag(out, *tag, written)) ++dropped;
    }
    out.gauge("tag_probe_success", "Whether the device answered the probe (1) or not (0).", success ? 1 : 0);
    out.gauge("tag_probe_duration_seconds", "How long the probe took, in seconds.", seconds);
    out.gauge("tag_probe_values_dropped",
              "Values the device sent of another kind than the tag table gives their tag, left out.",
              double(dropped));
    out.gauge("tag_probe_attempts", "Requests the probe sent, retries included.", double(figures.attempts));
    out.gauge("tag_probe_datagrams_sent", "Datagrams the probe sent to the device.",
              double(figures.datagramsSent));
    out.gauge("tag_probe_datagrams_received", "Reply datagrams the probe took from the device.",
              double(figures.datagramsReceived));
    return out.take();
}

void runProbe(Transport& transport, const std::string& target, const sockaddr_storage& address,
              const ProbePlan& plan, ProbeDone done) {
    std::make_shared<Run>(transport, target, address, plan, std::move(done))->ask();
}

}  // namespace exporter
