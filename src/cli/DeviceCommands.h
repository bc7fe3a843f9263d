#pragma once

#include "CliSupport.h"

#include <vector>

// Commands that talk to a logger on a serial port (with "--port PORT"):
//   sessions [--json] [--timeout S]
//   download (--session N -o FILE.rlog | --all -o DIR | --new -o DIR) [--timeout S]
std::vector<CliCommand> deviceCommands();
