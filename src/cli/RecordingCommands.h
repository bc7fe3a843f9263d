#pragma once

#include "CliSupport.h"

#include <vector>

// recording-info and decide: magnetometer recordings, headless.
std::vector<CliCommand> recordingCommands();
