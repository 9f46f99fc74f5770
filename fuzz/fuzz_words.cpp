// Command-line words -> tag words -> encode -> decode: what comes back equals
// what went in, or the words were refused with the error line. The input is
// split into words at NUL bytes, as argv would hold them.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "msg_compare.h"
#include "msg_request.h"

namespace {

std::vector<std::string> splitWords(const uint8_t* data, size_t size) {
    std::vector<std::string> words(1);
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            words.emplace_back();
        else
            words.back().push_back(char(data[i]));
    }
    return words;
}

constexpr char REFUSAL[] = "ERR: TAG_ERR_UNKNOWN_TAGID TAG_ERR_TAGID=";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    MsgRequest request(MSG_SET);
    for (std::string& word : splitWords(data, size)) request.addTagArg(word.data());

    if (request.hasError()) {
        size_t length = strnlen(request.errorText, sizeof request.errorText);
        if (length >= sizeof request.errorText) abort();
        if (strncmp(request.errorText, REFUSAL, strlen(REFUSAL)) != 0) abort();
        return 0;
    }
    uint8_t buffer[DATAGRAM_SIZE];
    uint16_t n = request.msg->getMsg(buffer, sizeof buffer);
    if (n == 0) return 0;  // too long for one datagram: refused before sending
    std::unique_ptr<VMsg> back(VMsg::parseMsg(buffer, n));
    if (!back || !sameMsg(*request.msg, *back)) abort();
    return 0;
}
