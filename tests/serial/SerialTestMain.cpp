#include "SerialSupport.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

// Qt 5 synchronises its event queues with futexes that ThreadSanitizer cannot see, so every
// queued hand-over (arguments and functors built in one thread, read in another) shows up as
// a race inside Qt's own templates. Those frames are ignored; races in our code outside Qt's
// hand-over (the port's worker threads, its buffers and locks) are still reported.
extern "C" const char *__tsan_default_options()
{
    return "ignore_noninstrumented_modules=1";
}

extern "C" const char *__tsan_default_suppressions()
{
    return "race:qobjectdefs_impl.h\n"
           "race:qobjectdefs.h\n"
           "race:qmetatype.h\n";
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    initSerialSupport();
    const int result = RUN_ALL_TESTS();
    shutdownSerialSupport();
    return result;
}
