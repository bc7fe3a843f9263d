#pragma once

#include "CliSupport.h"

#include <vector>

// report: the customer report of a raw log as a PDF (and its figures as JSON).
std::vector<CliCommand> reportCommands();
