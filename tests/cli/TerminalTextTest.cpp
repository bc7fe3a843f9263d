#include "cli/CliSupport.h"

#include <gtest/gtest.h>

// What a logger, a server or a file may put into a name, and what reaches the terminal.
TEST(TerminalText, DropsControlsAndEscapeSequences)
{
    const char *const cases[][2] = {
        {"Meter 7\tok\n", "Meter 7\tok\n"},
        {"a\033[2J\033[1;31mb\033[0m", "ab"},                    // clear screen, colours
        {"a\033]0;owned\ab", "ab"},                              // window title, ended by BEL
        {"a\033]8;;http://x\033\\link\033]8;;\033\\", "alink"},  // hyperlink, ended by ST
        {"a\302\23331mb\302\2350;t\302\234c", "abc"},            // the same through C1 introducers
        {"a\033(Bb\0337c", "abc"},                               // charset choice, save cursor
        {"a\rb\b\177\302\205c", "abc"},                          // carriage return, backspace, DEL, NEL
        {"a\033[12", "a"},                                       // unfinished at the end
        {"a\033", "a"},
        {"M\303\274ller\302\240", "M\303\274ller\302\240"},  // printable beyond ASCII stays
    };
    for (const auto &c : cases)
        EXPECT_EQ(Cli::terminalText(QString::fromUtf8(c[0])), QString::fromUtf8(c[1])) << c[0];
}
