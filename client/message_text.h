// A message as one line of text, the client's printer written into memory:
// the bytes printMsg and printTagValue write, for callers that print many
// lines (tagpoll, tagconf) and would pay a stream call per tag.
#ifndef MESSAGE_TEXT_H
#define MESSAGE_TEXT_H

#include <string>

#include "vmsg.h"

// Appends the message's line with its newline, as printMsg prints it; forTerminal
// as MsgRequest::outIsTerminal. Walks the message's tags from its first.
void appendMessageText(std::string& text, VMsg* m, bool forTerminal);
// The same for a message read in place, byte for byte as its decoded VMsg
// prints; walks the view's tags from its first. Returns whether what it
// appended is known to be printable ASCII (isPrintableAscii, the newline
// aside): false when a device's text may hold other bytes.
bool appendMessageText(std::string& text, VMsgView& m, bool forTerminal);
// Appends the tag's value part ("=\"a\" ", "=0000002A ", " "), as printTagValue prints it.
void appendTagValueText(std::string& text, VTag* t, bool forTerminal);

#endif
