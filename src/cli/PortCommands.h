#pragma once

#include "CliSupport.h"

#include <vector>

// "ports": the serial ports the enumeration sees, as the user interface gets them.
std::vector<CliCommand> portCommands();
