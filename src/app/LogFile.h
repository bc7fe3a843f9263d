#pragma once

#include <QString>
#include <QtGlobal>

class LogSignaller;

// Starts the process-wide log: creates the LogSignaller, opens (truncates) the file and, when
// that worked, installs the message handler in front of the previous one.
void installLogFile(const QString &path);
// Closes the file, restores the previous handler and deletes the LogSignaller.
void closeLogFile();
// The instance created by installLogFile (null outside installLogFile/closeLogFile).
LogSignaller *logSignaller();

// One log line as written to the file: "<seconds> [Tag ]: <text>", trimmed.
QString formatLogLine(QtMsgType severity, double seconds, const QString &text);
