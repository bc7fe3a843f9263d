#pragma once

#include "CliSupport.h"

#include <vector>

// "support-bundle": the zip a technician sends us, as the program's Help menu saves it.
std::vector<CliCommand> supportCommands();
