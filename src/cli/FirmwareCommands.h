#pragma once

#include "CliSupport.h"

#include <vector>

// firmware-info, firmware-build and (with --port) flash.
std::vector<CliCommand> firmwareCommands();
