#pragma once

#include "CliSupport.h"

#include <vector>

// firmware-info, firmware-build, firmware-fetch and (with --port) flash.
std::vector<CliCommand> firmwareCommands();
