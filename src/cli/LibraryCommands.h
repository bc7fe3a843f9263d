#pragma once

#include "CliSupport.h"

#include <vector>

class LibraryStore;

// library add|list|export|remove|open: the library of saved logs from the command line.
std::vector<CliCommand> libraryCommands();

namespace LibraryCli {
// "--library FILE", accepted by every command that reads or fills the library.
QCommandLineOption libraryOption();
// The library the command uses: the option, TW_LIBRARY, the window's "Library" setting, the default.
QString libraryFile(const QCommandLineParser &args);
}  // namespace LibraryCli
