#include "SerialSupportEnvironment.h"

#include "SerialSupport.h"

void SerialSupportEnvironment::SetUp()
{
    initSerialSupport();
}

void SerialSupportEnvironment::TearDown()
{
    shutdownSerialSupport();
}
