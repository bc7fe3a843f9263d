#pragma once

#include "AbstractSerialPort.h"

#include <memory>

// The port driver factory of the system the program is built for. The build compiles exactly
// one driver (WindowsPortDriver on Windows, PosixPortDriver elsewhere), and that driver's
// source defines this.
std::unique_ptr<AbstractSerialPort::PortDriverFactory> makePlatformPortDriverFactory();
