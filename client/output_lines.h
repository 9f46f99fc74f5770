// Every line the client prints, in one place. Scripts match these texts, so
// they change only on purpose.
#ifndef OUTPUT_LINES_H
#define OUTPUT_LINES_H

namespace lines {

// Run flow and tag words.
constexpr const char NO_MSG_TYPE[] = "ERR: TAG_ERR_UNKNOWN_MSGID\n";
constexpr const char BAD_MSG_TYPE[] = "ERR: TAG_ERR_UNKNOWN_MSGID TAG_ERR_MSGID=%s\n";
constexpr const char FIRST_BAD_TAG[] = "ERR: TAG_ERR_UNKNOWN_TAGID TAG_ERR_TAGID=%s";
constexpr const char NEXT_BAD_TAG[] = " TAG_ERR_TAGID=%s";

// Datagram exchange.
constexpr const char SENT[] = "Sent %d bytes\n";
constexpr const char RECEIVED[] = "Received %d bytes\n";
constexpr const char RX_TIMEOUT[] = "ERR: RX_TIMEOUT\n";
constexpr const char RX_REPLY_TOO_LONG[] = "ERR: RX_REPLY_TOO_LONG LIMIT=%zu\n";
constexpr const char SOCKET_FAILED[] = "ERR: TX_SOCKET_FAILED HOST=%s REASON=%s\n";
constexpr const char HOST_UNKNOWN[] = "ERR: TX_HOST_UNKNOWN HOST=%s\n";
constexpr const char HOST_NOT_IPV4[] = "ERR: TX_HOST_NOT_IPV4 HOST=%s\n";
constexpr const char MSG_TOO_LONG[] = "ERR: TX_MSG_TOO_LONG LIMIT=%d\n";
constexpr const char SEND_FAILED[] = "ERR: TX_SEND_FAILED REASON=%s\n";

// Reply printing. The string and hex values are written by hand in
// printer.cpp, a message at a time into memory; these patterns say what
// they must come to, and the printer's tests hold them to it.
constexpr const char* const HEADER_WORDS[] = {"SET: ", "GET: ", "ERR: ", "EVT: ", "DEL: ", "REP: "};
constexpr const char BAD_REPLY_MSGID[] = "ERR: TAG_ERR_UNKNOWN_MSGID TAG_ERR_MSGID=%d\n";
constexpr const char UNNAMED_TAG[] = "TAG_ERR_UNKNOWN_TAGID TAG_ERR_ID=%d ";
constexpr const char VALUE_STRING[] = "=\"%s\" ";
constexpr const char VALUE_FLOAT[] = "=%f ";
constexpr const char VALUE_HEX32[] = "=%08X ";
constexpr const char VALUE_HEX16[] = "=%04X ";
constexpr const char VALUE_HEX8[] = "=%02X ";
constexpr const char NO_VALUE[] = " ";

}  // namespace lines

#endif
