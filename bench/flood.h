// The load loop the flood benchmarks share: keep a fixed number of requests
// in flight, count answers without matching them, and print the rate. Header
// only: each benchmark is one small program.
#ifndef BENCH_FLOOD_H
#define BENCH_FLOOD_H

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <cstdio>

// Sends requests copies of the request on fd, to whatever destination(n)
// names for the n-th one, at most inFlight unanswered at a time. After
// silenceMs without an answer the rest in flight count as lost.
template <class Destination>
void flood(int fd, const uint8_t* request, uint16_t length, long requests, long inFlight, int silenceMs,
           Destination destination) {
    uint8_t reply[2048];
    long sent = 0, answered = 0, lost = 0;
    auto start = std::chrono::steady_clock::now();
    auto sendOne = [&] {
        const sockaddr_in& to = destination(sent);
        sendto(fd, request, length, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        ++sent;
    };
    while (sent < requests && sent < inFlight) sendOne();
    while (answered + lost < requests) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, silenceMs) != 1) {
            lost += sent - answered - lost;
            while (sent < requests && sent - answered - lost < inFlight) sendOne();
            continue;
        }
        if (recv(fd, reply, sizeof reply, 0) < 0) continue;
        ++answered;
        if (sent < requests) sendOne();
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("%ld requests, %ld answered, %ld lost, %.3f s, %.0f answers/s\n", requests, answered, lost,
           seconds, double(answered) / seconds);
}

#endif
