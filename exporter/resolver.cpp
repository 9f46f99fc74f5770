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

void lookupEnded(sigval value) {
    auto* lookup = static_cast<Lookup*>(value.sival_ptr);
    sockaddr_in address{};
    int status = gai_error(&lookup->request);
    if (status == 0 && lookup->request.ar_result) {
        memcpy(&address, lookup->request.ar_result->ai_addr, sizeof address);
        address.sin_port = htons(lookup->port);
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

Resolver::~Resolver() { drain(); }

void Resolver::drain() {
    // Lookups end by their own time-outs; this bounds the wait all the same.
    for (int i = 0; i < 1000 && running.load() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void Resolver::resolve(const std::string& host, uint16_t port, Resolved done) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) == 1) {
        done(true, address, {});
        return;
    }
    auto* lookup = new Lookup{host, port, std::move(done), &running};
    lookup->hints.ai_family = AF_INET;
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
