// The one routine that makes a device's or a sender's bytes safe for a
// terminal: what a terminal acts on and what is not UTF-8 is escaped, clean
// text passes unchanged.
#include <gtest/gtest.h>

#include <string>

#include "terminal_text.h"

namespace {

TEST(TerminalText, ControlsAndBytesThatAreNotUtf8AreEscaped) {
    using namespace std::string_literals;
    struct Case {
        std::string in, out;
    } cases[] = {
        {"plain text, \\ and \"quotes\"", "plain text, \\ and \"quotes\""},
        {"", ""},
        {"\x1b[2J", "\\x1b[2J"},                                 // ESC: erase the screen
        {"\x1b]0;owned\x07", "\\x1b]0;owned\\x07"},              // OSC 0 retitles, BEL ends it
        {"\x1b]52;c;SGVsbG8=\x07", "\\x1b]52;c;SGVsbG8=\\x07"},  // OSC 52 sets the clipboard
        {"ab\x08\x08xy\x7f", "ab\\x08\\x08xy\\x7f"},             // BS and DEL
        {"a\0b"s, "a\\x00b"},                                    // NUL
        {"\t\r\n", "\\x09\\x0d\\x0a"},
        {"\x9b"
         "2J",
         "\\x9b2J"},  // C1 CSI as one byte: not UTF-8
        {"\xc2\x9b"
         "2J",
         "\\xc2\\x9b2J"},                              // C1 CSI written in UTF-8
        {"\xc2\x80\xc2\x9f", "\\xc2\\x80\\xc2\\x9f"},  // the first and last C1
        {"K\xc3\xbc"
         "che \xe2\x82\xac \xf0\x9f\x93\x9f",
         "K\xc3\xbc"
         "che \xe2\x82\xac \xf0\x9f\x93\x9f"},
        {"\xc2\xa0", "\xc2\xa0"},                      // U+00A0, just past C1
        {"\xc0\xaf", "\\xc0\\xaf"},                    // an overlong '/'
        {"\xe0\x80\xaf", "\\xe0\\x80\\xaf"},           // overlong again, in three
        {"\xed\xa0\x80", "\\xed\\xa0\\x80"},           // a surrogate
        {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},  // past U+10FFFF
        {"\xe2\x82", "\\xe2\\x82"},                    // cut short
        {"\xe2\x82x", "\\xe2\\x82x"},
        {"\xff\xfe", "\\xff\\xfe"},
    };
    for (const Case& c : cases) EXPECT_EQ(terminalSafe(c.in), c.out) << c.out;
}

// Printable ASCII alone is what tagpoll writes without escaping: every
// other byte, at any place in a line long or short, must be caught.
TEST(TerminalText, PrintableAsciiIsTheSpaceToTheTildeAndNothingElse) {
    using namespace std::string_literals;
    const std::string line = "GET: TAG_DEV_ID=0000002A TAG_DEV_LABEL=\"rack 7\" ~ { } \\ end";  // 50 bytes
    EXPECT_TRUE(isPrintableAscii(line));
    EXPECT_TRUE(isPrintableAscii(""));
    EXPECT_TRUE(isPrintableAscii(" ~"));
    const std::string bad[] = {"\x1f"s, "\x7f"s, "\x80"s, "\xff"s, "\0"s, "\t"s, "\xc2\xa0"s};
    for (const std::string& b : bad) {
        for (size_t at : {size_t(0), size_t(3), size_t(7), size_t(8), size_t(15), size_t(31), line.size()}) {
            std::string text = line;
            text.insert(at, b);
            EXPECT_FALSE(isPrintableAscii(text))
                << "byte " << int(static_cast<unsigned char>(b[0])) << " at " << at;
        }
    }
}

}  // namespace
