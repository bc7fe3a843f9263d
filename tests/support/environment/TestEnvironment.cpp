#include "TestEnvironment.h"

#include <QByteArray>
#include <QtGlobal>

namespace {

void setIfUnset(const char *name, const QByteArray &value)
{
    if (!qEnvironmentVariableIsSet(name))
        qputenv(name, value);
}

// Before main(): Qt reads its platform variables when the application object is created.
[[maybe_unused]] const bool applied = (TestEnvironment::applyDefaults(), true);

}  // namespace

void TestEnvironment::applyDefaults()
{
    // Exports and time-zone tests expect this zone, whatever the machine's.
    qputenv("TZ", "Europe/Berlin");
    setIfUnset("TW_SOURCE_DIR", TW_TEST_SOURCE_DIR);
    setIfUnset("TW_BIN_DIR", TW_TEST_BUILD_DIR "/bin");
    setIfUnset("TW_E2E_PROGRAM", TW_TEST_BUILD_DIR "/tests/tarrowind-utility-e2e");
    // A virtual logger started by a test never outlives it.
    setIfUnset("TW_SIM_EXIT_WITH_PARENT", "1");
    // Without a display Qt would abort for want of a platform; where there is one, the caller's
    // choice stands (the end-to-end tests want the X server they run under).
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        setIfUnset("QT_QPA_PLATFORM", "offscreen");
        setIfUnset("QT_QUICK_BACKEND", "software");
    }
}
