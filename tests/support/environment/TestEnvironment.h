#pragma once

// Every test program carries this (tw_test links it in), so that it runs the same whether ctest
// starts it or someone runs it by hand from build/tests: before main() the variables ctest sets
// are given the values of the build the program belongs to, unless the caller chose them.
class TestEnvironment
{
public:
    static void applyDefaults();
};
