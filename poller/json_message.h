// Results and messages as JSON objects. Numbers stay numbers; texts are
// whole and escaped by JSON's rules; floats that are not finite become the
// strings "nan", "inf" and "-inf".
#ifndef TAGPOLL_JSON_MESSAGE_H
#define TAGPOLL_JSON_MESSAGE_H

#include <nlohmann/json.hpp>

#include "tagengine.h"

namespace tagpoll {

// {"message_type": "GET", "tags": [{"name", "id", "type", "value"}...]}
// merged into into.
void addMessage(nlohmann::ordered_json& into, VMsg& message);

// One object for the result of the exchange with target (its label); line
// is what the line format prints for it.
nlohmann::ordered_json resultJson(const tagengine::Result& result, const std::string& target,
                                  const std::string& line);

}  // namespace tagpoll

#endif
