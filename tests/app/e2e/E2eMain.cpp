// The program as users get it, plus the test hook: what the end-to-end tests drive.
#include "app/Startup.h"
#include "TestHook.h"

int main(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return runApplication(argc, argv, arguments, &TestHook::installFromEnvironment);
}
