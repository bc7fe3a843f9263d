#pragma once

#include <QString>

// Which library a command or the window uses: the `--library` option, else the TW_LIBRARY
// environment variable, else the "Library" setting, else "library.sqlite" in the application's
// data folder (the same folder for the program and the command-line tool).
class LibraryLocation
{
public:
    static QString defaultFile();
    static QString resolve(const QString &option, const QString &setting);
};
