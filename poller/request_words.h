// WORDS of the command line into the request every target gets, by the
// client's own conversion code.
#ifndef TAGPOLL_REQUEST_WORDS_H
#define TAGPOLL_REQUEST_WORDS_H

#include <memory>
#include <string>
#include <vector>

#include "vmsg.h"

namespace tagpoll {

// The request, or null with error holding the line tagclient would print
// for the same words (without its newline).
std::shared_ptr<const VMsg> buildRequest(const std::vector<std::string>& words, std::string& error);

}  // namespace tagpoll

#endif
