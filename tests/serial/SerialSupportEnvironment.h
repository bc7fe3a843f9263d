#pragma once

#include <gtest/gtest.h>

// The serial support (port driver factories) exists for the whole test run, as in the program.
class SerialSupportEnvironment : public ::testing::Environment
{
public:
    void SetUp() override;
    void TearDown() override;
};
