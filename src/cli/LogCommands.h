#pragma once

#include "CliSupport.h"

#include <vector>

// log-info, log-export and log-bins: raw pulse log files without the user interface.
std::vector<CliCommand> logCommands();
