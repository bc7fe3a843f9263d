#include "SerialSupportEnvironment.h"

#include "serial/SerialSupport.h"

void SerialSupportEnvironment::SetUp()
{
    initSerialSupport();
}

void SerialSupportEnvironment::TearDown()
{
    shutdownSerialSupport();
}
