#include "resolver.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <thread>

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

void setPort(sockaddr_storage& a, uint16_t port) {
    if (a.ss_family == AF_INET) reinterpret_cast<sockaddr_in&>(a).sin_port = htons(port);
    if (a.ss_family == AF_INET6) reinterpret_cast<sockaddr_in6&>(a).sin6_port = htons(port);
}

// The mapped form reaches the IPv4 device, and is judged as such.
void unmap(sockaddr_storage& a) {
    if (a.ss_family != AF_INET6) return;
    const auto& six = reinterpret_cast<const sockaddr_in6&>(a);
    if (!IN6_IS_ADDR_V4MAPPED(&six.sin6_addr)) return;
    sockaddr_in four{};
    four.sin_family = AF_INET;
    four.sin_port = six.sin6_port;
    memcpy(&four.sin_addr, six.sin6_addr.s6_addr + 12, sizeof four.sin_addr);
    a = sockaddr_storage{};
    memcpy(&a, &four, sizeof four);
}

// The first IPv4 answer, else the first IPv6 one.
const addrinfo* chosen(const addrinfo* list) {
    for (const addrinfo* a = list; a; a = a->ai_next)
        if (a->ai_family == AF_INET) return a;
    for (const addrinfo* a = list; a; a = a->ai_next)
        if (a->ai_family == AF_INET6) return a;
    return nullptr;
}

void lookupEnded(sigval value) {
    auto* lookup = static_cast<Lookup*>(value.sival_ptr);
    sockaddr_storage address{};
    int status = gai_error(&lookup->request);
    const addrinfo* found = status == 0 ? chosen(lookup->request.ar_result) : nullptr;
    if (found) {
        memcpy(&address, found->ai_addr, found->ai_addrlen);
        unmap(address);
        setPort(address, lookup->port);
        lookup->done(true, address, {});
    } else {
        lookup->done(false, address, "cannot resolve \"" + lookup->host + "\": " + gai_strerror(status));
    }
    if (lookup->request.ar_result) freeaddrinfo(lookup->request.ar_result);
    std::atomic<int>* running = lookup->running;
    delete lookup;
    --*running;
}

}  // namespace

bool parseLiteral(const std::string& host, uint16_t port, sockaddr_storage& address) {
    address = sockaddr_storage{};
    auto& four = reinterpret_cast<sockaddr_in&>(address);
    auto& six = reinterpret_cast<sockaddr_in6&>(address);
    if (inet_pton(AF_INET, host.c_str(), &four.sin_addr) == 1) {
        four.sin_family = AF_INET;
    } else if (inet_pton(AF_INET6, host.c_str(), &six.sin6_addr) == 1) {
        six.sin6_family = AF_INET6;
        unmap(address);
    } else {
        address = sockaddr_storage{};
        return false;
    }
    setPort(address, port);
    return true;
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
