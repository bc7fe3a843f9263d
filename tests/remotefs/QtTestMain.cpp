#include <QCoreApplication>
#include <gtest/gtest.h>

// Qt 5 hands queued events, signal arguments and connection functors between threads under
// futexes that ThreadSanitizer cannot see, so reports inside Qt's hand-over templates are
// ignored; races outside that hand-over are still reported.
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

// These tests drive Qt objects through queued signals: the main thread runs the event loop.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
