#include "cli/CliSupport.h"

#include <gtest/gtest.h>
#include <string>

using namespace std::string_literals;

// What a logger, a server or a file may put into a name, and what reaches the terminal.
TEST(TerminalText, DropsControlsAndEscapeSequences)
{
    const struct {
        std::u16string in;
        std::u16string out;
    } cases[] = {
        {u"Meter 7\tok\n"s, u"Meter 7\tok\n"s},
        {u"a\x1b[2J\x1b[1;31mb\x1b[0m"s, u"ab"s},  // clear screen, colours
        {u"a\x1b]0;owned\x07"
         u"b"s,
         u"ab"s},                                                    // window title, ended by BEL
        {u"a\x1b]8;;http://x\x1b\\link\x1b]8;;\x1b\\"s, u"alink"s},  // hyperlink, ended by ST
        {u"a\x9b"
         u"31mb\x9d"
         u"0;t\x9c"
         u"c"s,
         u"abc"s},  // the same through C1 introducers
        {u"a\x1b(Bb\x1b"
         u"7c"s,
         u"abc"s},  // charset choice, save cursor
        {u"a\rb\x08\x7f\x85\x00"
         u"c"s,
         u"abc"s},              // carriage return, backspace, DEL, NEL, NUL
        {u"a\x1b[12"s, u"a"s},  // unfinished at the end
        {u"a\x1b"s, u"a"s},
        {u"M\u00fcller \u00a0\u2028"s, u"M\u00fcller \u00a0\u2028"s},  // printable beyond ASCII stays
    };
    for (const auto &c : cases) {
        const QString in = QString::fromStdU16String(c.in);
        EXPECT_EQ(Cli::terminalText(in), QString::fromStdU16String(c.out)) << in.toStdString();
    }
}
