#include "resolver.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

#include "tagengine.h"

namespace exporter {

namespace {

// Everything one lookup needs until its notification runs.
struct Lookup {
    std::string host;
    uint16_t port;
    Resolved done;
    std::atomic<int>* running;
    addrinfo hints{};
    gaicb request{};
};

void lookupEnded(sigval value) {
    auto* lookup = static_cast<Lookup*>(value.sival_ptr);
    sockaddr_storage address{};
    int status = gai_error(&lookup->request);
    if (status == 0 && tagengine::chooseAddress(lookup->request.ar_result, lookup->port, address)) {
        lookup->done(true, address, {});
    } else {
        const char* why = status != 0 ? gai_strerror(status) : "no IPv4 or IPv6 address";
        lookup->done(false, address, "cannot resolve \"" + lookup->host + "\": " + why);
    }
    if (lookup->request.ar_result) freeaddrinfo(lookup->request.ar_result);
    std::atomic<int>* running = lookup->running;
    delete lookup;
    --*running;
}

}  // namespace

// Chosen as a looked-up answer is, so that a mapped literal reaches the
// same IPv4 device a name would.
bool parseLiteral(const std::string& host, uint16_t port, sockaddr_storage& address) {
    sockaddr_storage literal{};
    auto& four = reinterpret_cast<sockaddr_in&>(literal);
    auto& six = reinterpret_cast<sockaddr_in6&>(literal);
    addrinfo answer{};
    answer.ai_addr = reinterpret_cast<sockaddr*>(&literal);
    if (inet_pton(AF_INET, host.c_str(), &four.sin_addr) == 1) {
        four.sin_family = answer.ai_family = AF_INET;
        answer.ai_addrlen = sizeof four;
    } else if (inet_pton(AF_INET6, host.c_str(), &six.sin6_addr) == 1) {
        six.sin6_family = answer.ai_family = AF_INET6;
        answer.ai_addrlen = sizeof six;
    }
    address = sockaddr_storage{};
    return answer.ai_addrlen != 0 && tagengine::chooseAddress(&answer, port, address);
}

Resolver::~Resolver() { drain(); }

void Resolver::drain() {
    // Lookups end by their own time-outs; this bounds the wait all the same.
    for (int i = 0; i < 1000 && running.load() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void Resolver::resolve(const std::string& host, uint16_t port, Resolved done) {
    sockaddr_storage address{};
    if (parseLiteral(host, port, address)) {
        done(true, address, {});
        return;
    }
    auto* lookup = new Lookup{host, port, std::move(done), &running};
    lookup->hints.ai_family = AF_UNSPEC;
    lookup->hints.ai_socktype = SOCK_DGRAM;
    lookup->request.ar_name = lookup->host.c_str();
    lookup->request.ar_request = &lookup->hints;
    sigevent notify{};
    notify.sigev_notify = SIGEV_THREAD;
    notify.sigev_value.sival_ptr = lookup;
    notify.sigev_notify_function = lookupEnded;
    gaicb* list[] = {&lookup->request};
    ++running;
    int status = getaddrinfo_a(GAI_NOWAIT, list, 1, &notify);
    if (status != 0) {
        --running;
        lookup->done(false, address, std::string("cannot start resolving: ") + gai_strerror(status));
        delete lookup;
    }
}

}  // namespace exporter
