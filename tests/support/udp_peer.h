// A scripted UDP peer on 127.0.0.1 for end-to-end tests: it binds a port the
// system picks, records what the client sends and answers with a script of
// datagrams. It runs on its own thread and stops by itself when the script
// is done or nobody talks to it.
#ifndef UDP_PEER_H
#define UDP_PEER_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "vmsg.h"

using Bytes = std::vector<uint8_t>;

// One step of a reply script.
struct PeerStep {
    enum Kind { Send, Pause } kind;
    Bytes datagram;                   // Send: sent as it is, of any length
    std::chrono::milliseconds pause;  // Pause: time before the next step
    int repeat = 1;                   // Send: how many copies
    bool fromOtherSocket = false;     // Send: from a second socket, on another port
};

class UdpPeer {
public:
    UdpPeer();
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    uint16_t port() const { return boundPort; }

    // Starts the thread: wait for the first datagram, then run the script
    // towards its sender. Without a request in time it ends quietly.
    void answer(std::vector<PeerStep> script,
                std::chrono::milliseconds waitForRequest = std::chrono::seconds(20));

    // Waits for the thread; then the datagrams received so far.
    std::vector<Bytes> finish();

    // Datagrams that arrive without a script running (a listener only).
    std::vector<Bytes> drain();

private:
    void run(std::vector<PeerStep> script, std::chrono::milliseconds waitForRequest);

    int fd = -1;
    uint16_t boundPort = 0;
    std::thread worker;
    std::mutex lock;
    std::vector<Bytes> received;
};

// Script steps.
PeerStep send(const Bytes& datagram, int repeat = 1);
PeerStep pause(std::chrono::milliseconds ms);
// Sent from a second socket of the peer, so the reply comes from another port.
PeerStep sendFromOtherSocket(const Bytes& datagram);

// A datagram holding the message; its sequence byte is written as given.
Bytes encode(const VMsg& msg);
// A segment of message id msgId with that sequence byte, owning the tags.
Bytes segment(uint8_t msgId, uint8_t sequence, std::vector<VTag*> tags);

#endif
