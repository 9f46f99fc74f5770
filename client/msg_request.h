// The request of one run: the message being built from the command line, the
// error line for refused tag names, and the operations that send it and print
// the reply.
#ifndef MSG_REQUEST_H
#define MSG_REQUEST_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "vmsg.h"

constexpr uint16_t DATAGRAM_SIZE = 1024;
// The most tags a merged reply may hold: what one message's 16-bit tag count
// can say, so any reply an agent could send as one message still fits, while
// a peer that never sends the last segment cannot grow memory without end.
constexpr size_t REPLY_TAG_LIMIT = 65535;

// Message ids of the protocol.
enum MsgId : uint8_t { MSG_SET = 0, MSG_GET = 1, MSG_ERR = 2, MSG_EVT = 3, MSG_DEL = 4, MSG_REP = 5 };

class MsgRequest {
public:
    // A message of that id with sequence 0 and the last-segment flag set.
    explicit MsgRequest(uint8_t msgId);
    ~MsgRequest();
    MsgRequest(const MsgRequest&) = delete;
    MsgRequest& operator=(const MsgRequest&) = delete;

    bool hasError() const { return errorFlag; }
    // Prints errorText and a newline.
    void printError();

    // Tag words (NAME=value or NAME). addTagArg appends the tag, or adds a
    // refused name to errorText; it returns false once any name was refused.
    bool addTagArg(char* word);
    // Cuts the word at its first "=" in place: name is the word, value the
    // text after the "=", or null when there is none. Always returns true.
    bool splitTagArg(char* word, char** name, char** value);

    // Sends msg as one datagram to the host's first IPv4 address; for a GET,
    // waits for the reply segments and prints the reply.
    void send(const char* host, uint16_t port);

    // Printing of a message as one line.
    void printMsg(VMsg* m);
    void printTag(VTag* t);
    void printTagValue(VTag* t);
    // The dictionary's type code for a tag id, 0 when it has none.
    uint32_t lookupTagType(uint8_t tagId);

    VMsg* msg;
    uint8_t buffer[DATAGRAM_SIZE];
    char errorText[DATAGRAM_SIZE];
    bool errorFlag;
    // Where the request's lines go: standard output, or a memory stream in
    // tests and tools.
    FILE* out = stdout;

private:
    void appendError(const char* format, const char* name);
    void waitForReply(int sock);
};

// The request for a message-type word ("SET:", "GET:", "DEL:", "REP:", any
// case), or null after printing the error line for a missing or other word.
MsgRequest* createRequest(const char* word);

// The message id a sendable message-type word names ("SET:", "GET:", "DEL:",
// "REP:", any case), or -1 for any other word. Prints nothing.
int msgIdForWord(const char* word);

#endif
