#include "SafeFileWriter.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {
constexpr size_t kBufferSize = 1 << 20;
}

SafeFileWriter::SafeFileWriter(const QString &target) : m_target(target), m_file(target) {}

SafeFileWriter::~SafeFileWriter()
{
    cancel();
}

bool SafeFileWriter::makeParentPath(const QString &target)
{
    return QDir().mkpath(QFileInfo(target).absolutePath());
}

bool SafeFileWriter::open()
{
    makeParentPath(m_target);
    if (!m_file.open(QIODevice::WriteOnly)) {
        qWarning() << "Failed to open" << m_target << "for output" << m_file.errorString();
        return false;
    }
    m_buffer.resize(kBufferSize);
    m_used = 0;
    m_open = true;
    m_failed = false;
    return true;
}

void SafeFileWriter::flushBuffer()
{
    if (m_used == 0)
        return;
    if (m_open && !m_failed) {
        const qint64 written = m_file.write(m_buffer.data(), qint64(m_used));
        if (written != qint64(m_used))
            m_failed = true;
    }
    m_used = 0;
}

void SafeFileWriter::append(const char *data, size_t size)
{
    if (m_buffer.size() - m_used < size) {
        flushBuffer();
        if (size > m_buffer.size()) {
            if (m_open && !m_failed && m_file.write(data, qint64(size)) != qint64(size))
                m_failed = true;
            return;
        }
    }
    std::memcpy(m_buffer.data() + m_used, data, size);
    m_used += size;
}

bool SafeFileWriter::commit()
{
    if (!m_open)
        return false;
    flushBuffer();
    m_open = false;
    if (m_failed) {
        qWarning() << "Failed to write" << m_target << m_file.errorString();
        m_file.cancelWriting();
        m_file.commit();  // with writing cancelled this only removes the temporary file
        return false;
    }
    if (!m_file.commit()) {
        qWarning() << "Failed to write" << m_target << m_file.errorString();
        return false;
    }
    return true;
}

void SafeFileWriter::cancel()
{
    if (!m_open)
        return;
    m_open = false;
    m_used = 0;
    m_file.cancelWriting();
    m_file.commit();
}

bool SafeFileWriter::createTemporaryBeside(const QString &target, QString *temporaryPath)
{
    makeParentPath(target);
    QTemporaryFile temp(target + QStringLiteral(".XXXXXX.tmp"));
    temp.setAutoRemove(false);
    if (!temp.open())
        return false;
    *temporaryPath = temp.fileName();
    temp.close();
    return true;
}

bool SafeFileWriter::replaceTarget(const QString &temporaryPath, const QString &target)
{
#ifdef _WIN32
    const bool ok = MoveFileExW(reinterpret_cast<const wchar_t *>(temporaryPath.utf16()),
                                reinterpret_cast<const wchar_t *>(target.utf16()),
                                MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
#else
    const bool ok =
        std::rename(QFile::encodeName(temporaryPath).constData(), QFile::encodeName(target).constData()) == 0;
#endif
    if (!ok)
        QFile::remove(temporaryPath);
    return ok;
}

namespace {
bool holds(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.size() == bytes.size() && file.readAll() == bytes;
}
}  // namespace

bool SafeFileWriter::createOrMatch(const QString &target, const QByteArray &bytes, QString *error)
{
    const auto occupied = [&] {
        if (holds(target, bytes))
            return true;
        *error = QStringLiteral("%1 exists and differs").arg(target);
        return false;
    };
    // A dangling link counts as there: writing through it would put the bytes elsewhere.
    if (QFileInfo(target).exists() || QFileInfo(target).isSymLink())
        return occupied();
    QString temporary;
    if (!createTemporaryBeside(target, &temporary)) {
        *error = QStringLiteral("cannot write %1").arg(target);
        return false;
    }
    QFile file(temporary);
    const bool written = file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
    const QString reason = file.errorString();
    file.close();
    // QFile::rename never replaces an existing target (renameat2 without replacing on Linux).
    if (written && QFile::rename(temporary, target))
        return true;
    QFile::remove(temporary);
    if (written && QFileInfo(target).exists())
        return occupied();
    *error = QStringLiteral("cannot write %1: %2").arg(target, reason);
    return false;
}
