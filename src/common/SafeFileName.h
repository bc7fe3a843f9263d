#pragma once

#include <QObject>
#include <QString>

// Names that come from a logger (its device name, a session's name on the flash) become part
// of the files we write. Whatever they hold, they must never choose the folder: every such name
// becomes one plain file-name component that is valid on Windows as well as here. The window
// (as the QML singleton `SafeFileName`) and the command-line tool name files through this one
// class, so both write the same names.
class SafeFileName : public QObject
{
    Q_OBJECT

public:
    // A component never grows past this many characters (a long name from the logger is cut).
    static constexpr int kMaxComponentLength = 64;

    explicit SafeFileName(QObject *parent = nullptr);

    // `name` as one file-name component: ':', '.', white space, path separators, wildcards,
    // quotes, '<', '>', '|' and control characters become '_'; a reserved DOS device name (CON,
    // NUL, COM1 ...) gets '_' appended; at most kMaxComponentLength characters.
    Q_INVOKABLE static QString component(const QString &name);

    // The file name of a session downloaded from a logger: "<device>_<index>_<session>.rlog".
    Q_INVOKABLE static QString sessionFileName(const QString &deviceName, int sessionIndex, const QString &sessionName,
                                               int fileType);

    // `folder`/`fileName` when that path lies directly inside `folder`, otherwise "".
    Q_INVOKABLE static QString pathInside(const QString &folder, const QString &fileName);

    // `path` itself when no file of that name exists, else the first free of "log(2).rlog",
    // "log(3).rlog" ... "log(998).rlog" (native separators); "" once even that is taken, since
    // the only name left would overwrite a saved file.
    static QString unusedFileName(const QString &path);
    static constexpr int kLastCopyNumber = 998;
};
