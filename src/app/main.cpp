#include "Startup.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#include <vector>

// The process command line arrives as UTF-16; the Qt side gets it in the ANSI code page.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    int argc = 0;
    LPWSTR *wideArgs = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<QByteArray> storage;
    std::vector<char *> argv;
    QStringList arguments;
    for (int i = 0; i < argc; ++i) {
        const QString arg = QString::fromWCharArray(wideArgs[i]);
        arguments << arg;
        storage.push_back(arg.toLocal8Bit());
    }
    for (auto &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    LocalFree(wideArgs);
    return runApplication(argc, argv.data(), arguments);
}
#else
int main(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return runApplication(argc, argv, arguments);
}
#endif
