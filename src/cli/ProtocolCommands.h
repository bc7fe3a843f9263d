#pragma once

#include "CliSupport.h"

#include <vector>

// Commands that talk to the logger's firmware (with "--port PORT"):
//   info [--json] [--timeout S]
//   vars [--json | --backup FILE | --restore FILE] [--timeout S]
//   set-var NAME VALUE [--save] [--timeout S]
//   sync-clock [--timeout S]
std::vector<CliCommand> protocolCommands();
