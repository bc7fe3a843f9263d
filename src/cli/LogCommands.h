#pragma once

#include "CliSupport.h"

#include <vector>

// log-info, log-export, log-bins and log-uses: raw pulse log files without the user interface.
std::vector<CliCommand> logCommands();
