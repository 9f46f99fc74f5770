// The request object and the choice of message type.
#include "msg_request.h"

#include <strings.h>

#include "output_lines.h"

MsgRequest::MsgRequest(uint8_t msgId) : msg(new VMsg(msgId)), buffer{}, errorFlag(false) {
    errorText[0] = '\0';
    msg->sequence = 0;
    msg->setLastSegment(true);
}

MsgRequest::~MsgRequest() { delete msg; }

void MsgRequest::printError() { fprintf(out, "%s\n", errorText); }

namespace {

struct MsgTypeWord {
    const char* word;
    uint8_t msgId;
};

// Only these can be sent; ERR and EVT exist for printing alone.
constexpr MsgTypeWord msgTypeWords[] = {
    {"SET:", MSG_SET}, {"GET:", MSG_GET}, {"DEL:", MSG_DEL}, {"REP:", MSG_REP}};

}  // namespace

int msgIdForWord(const char* word) {
    for (const MsgTypeWord& w : msgTypeWords)
        if (strcasecmp(word, w.word) == 0) return w.msgId;
    return -1;
}

MsgRequest* createRequest(const char* word) {
    if (!word) {
        fputs(lines::NO_MSG_TYPE, stdout);
        return nullptr;
    }
    int msgId = msgIdForWord(word);
    if (msgId >= 0) return new MsgRequest(uint8_t(msgId));
    printf(lines::BAD_MSG_TYPE, word);
    return nullptr;
}
