#pragma once

#include "bootloader/StmBootLoader.h"
#include "bootloader/TarrowindLogger.h"

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>

// A firmware update, for the window and the command-line tool alike: the logger is taken into
// its bootloader, the image is erased, programmed and verified (or only verified) with the
// bootloader client's own limits, and the logger goes back to its firmware (the new one, or the
// old one after a failure). The window holds the logger in its bootloader while the flash
// screen is open; the command line goes in and out around one operation. GUI thread only.
class FirmwareFlasher : public QObject
{
    Q_OBJECT
    Q_PROPERTY(TarrowindLogger *logger READ logger WRITE setLogger NOTIFY loggerChanged)
    // A flash started here is running.
    Q_PROPERTY(bool flashing READ flashing NOTIFY resultChanged)
    // A flash started here has ended; its outcome is in resultError and resultErrorText.
    Q_PROPERTY(bool finished READ finished NOTIFY resultChanged)
    Q_PROPERTY(StmBootLoader::Error resultError READ resultError NOTIFY resultChanged)
    Q_PROPERTY(QString resultErrorText READ resultErrorText NOTIFY resultChanged)

public:
    explicit FirmwareFlasher(QObject *parent = nullptr);

    TarrowindLogger *logger() const { return m_logger; }
    void setLogger(TarrowindLogger *logger);
    StmBootLoader *bootloader() const;
    bool flashing() const { return m_flashing; }
    bool finished() const { return m_finished; }
    StmBootLoader::Error resultError() const { return m_error; }
    QString resultErrorText() const { return m_errorText; }

    // An image the bootloader client can write: 1 to StmBootLoader::kMaxImageSize bytes.
    static bool fits(const QByteArray &image);

    Q_INVOKABLE void enterBootloader();
    // Back to the firmware: the bootloader is told to start it as soon as it is idle.
    Q_INVOKABLE void exitBootloader();
    // Starts the operation on `image` when the bootloader is ready; false when it is not.
    Q_INVOKABLE bool flash(const QByteArray &image,
                           StmBootLoader::Operation operation = StmBootLoader::EraseProgramVerify);

signals:
    void loggerChanged();
    void resultChanged();
    void operationFinished(StmBootLoader::Error error);

private:
    void onOperationFinished(StmBootLoader::Error error);

    QPointer<TarrowindLogger> m_logger;
    QMetaObject::Connection m_finishedConnection;
    bool m_flashing = false;
    bool m_finished = false;
    StmBootLoader::Error m_error = StmBootLoader::Error_None;
    QString m_errorText;
};
