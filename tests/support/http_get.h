// A minimal HTTP/1.1 client for tests of tag_exporter: one request per
// connection, from a chosen loopback address.
#ifndef HTTP_GET_H
#define HTTP_GET_H

#include <chrono>
#include <cstdint>
#include <string>

// A TCP connection to 127.0.0.1:port from the address given (any of
// 127.0.0.0/8), with reads bounded by the time-out; -1 when it cannot be had.
int connectFrom(const char* source, uint16_t port, std::chrono::milliseconds timeout);

// Sends "GET uri" with Connection: close and the extra header lines, and
// returns all that came back before the server closed or the time-out
// passed ("" for neither an answer nor a connection).
std::string httpGet(uint16_t port, const std::string& uri, const std::string& headers = "",
                    const char* source = "127.0.0.1",
                    std::chrono::milliseconds timeout = std::chrono::seconds(10));

// What came back on the connection until the server closed it or the read
// timed out; closes it.
std::string readToEnd(int fd);

std::string statusLineOf(const std::string& reply);
std::string bodyOf(const std::string& reply);

#endif
