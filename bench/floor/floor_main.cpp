// What one tagclient GET would cost if our own code cost nothing: the same
// dynamic libraries and system calls, none of the work.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "floor_libs.h"

int main(int argc, char** argv) {
    floorLogInit();
    const char* host = "localhost";
    unsigned short port = 60000;
    int opt;
    while ((opt = getopt(argc, argv, "h:p:")) != -1) {
        if (opt == 'h') host = optarg;
        if (opt == 'p') port = (unsigned short)strtol(optarg, nullptr, 10);
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    hostent* he = gethostbyname(host);
    if (fd < 0 || !he) return 0;
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(port);
    memcpy(&dest.sin_addr, he->h_addr_list[0], sizeof dest.sin_addr);

    uint8_t buf[1024];
    size_t n = floorEncode(buf, sizeof buf);
    printf("Sent %d bytes\n", int(n));
    sendto(fd, buf, n, 0, reinterpret_cast<sockaddr*>(&dest), sizeof dest);
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    timeval timeout{9, 0};
    if (select(fd + 1, &readable, nullptr, nullptr, &timeout) < 1) return 0;
    ssize_t got = recvfrom(fd, buf, sizeof buf, 0, nullptr, nullptr);
    printf("Received %d bytes\n", int(got));
    printf("GET: TAG_DEV_ID=%08X \n", floorLookup(8));
    return 0;
}
