#include "request_words.h"

#include <cstdio>

#include "msg_request.h"
#include "output_lines.h"

namespace tagpoll {

namespace {

std::string withoutNewline(std::string s) {
    while (!s.empty() && s.back() == '\n') s.pop_back();
    return s;
}

}  // namespace

std::shared_ptr<const VMsg> buildRequest(const std::vector<std::string>& words, std::string& error) {
    if (words.empty()) {
        error = withoutNewline(lines::NO_MSG_TYPE);
        return nullptr;
    }
    int msgId = msgIdForWord(words[0].c_str());
    if (msgId < 0) {
        std::vector<char> text(words[0].size() + sizeof lines::BAD_MSG_TYPE);
        snprintf(text.data(), text.size(), lines::BAD_MSG_TYPE, words[0].c_str());
        error = withoutNewline(text.data());
        return nullptr;
    }
    MsgRequest request{uint8_t(msgId)};
    for (size_t i = 1; i < words.size(); ++i) {
        // addTagArg cuts the word at its '=' in place: give it a copy.
        std::vector<char> word(words[i].begin(), words[i].end());
        word.push_back('\0');
        request.addTagArg(word.data());
    }
    if (request.hasError()) {
        error = request.errorText;
        return nullptr;
    }
    uint8_t probe[DATAGRAM_SIZE];
    if (request.msg->getMsg(probe, DATAGRAM_SIZE) == 0) {
        std::vector<char> text(sizeof lines::MSG_TOO_LONG + 16);
        snprintf(text.data(), text.size(), lines::MSG_TOO_LONG, int(DATAGRAM_SIZE));
        error = withoutNewline(text.data());
        return nullptr;
    }
    // The message leaves the request object, which would otherwise delete it.
    std::shared_ptr<const VMsg> message(request.msg);
    request.msg = nullptr;
    return message;
}

}  // namespace tagpoll
