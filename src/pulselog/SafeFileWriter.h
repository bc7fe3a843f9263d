#pragma once

#include <QByteArray>
#include <QSaveFile>
#include <QString>

#include <cstddef>
#include <vector>

// Writes a user file through a temporary file beside it, renamed over the target only when
// every byte and the final flush succeeded; a failed write leaves the old file untouched.
// Output is buffered, so callers can format straight into the buffer.
class SafeFileWriter
{
public:
    explicit SafeFileWriter(const QString &target);
    ~SafeFileWriter();
    SafeFileWriter(const SafeFileWriter &) = delete;
    SafeFileWriter &operator=(const SafeFileWriter &) = delete;

    // Creates the parent directories and the temporary file. Logs "Failed to open" on failure.
    bool open();

    void append(const char *data, size_t size);
    void append(const QByteArray &bytes) { append(bytes.constData(), size_t(bytes.size())); }
    void append(char c)
    {
        if (m_used == m_buffer.size())
            flushBuffer();
        m_buffer[m_used++] = c;
    }
    template <size_t N> void appendLiteral(const char (&text)[N]) { append(text, N - 1); }

    // Room for at least `size` bytes at the end of the buffer; call advance() with what was used.
    char *reserve(size_t size)
    {
        if (m_buffer.size() - m_used < size) {
            flushBuffer();
            if (m_buffer.size() < size)
                m_buffer.resize(size);
        }
        return m_buffer.data() + m_used;
    }
    void advance(size_t used) { m_used += used; }

    // Flushes, syncs and renames into place. False (and the target untouched) on any error.
    bool commit();
    // Drops the temporary file.
    void cancel();

    const QString &fileName() const { return m_target; }

    // For writers that need a path of their own (libxlsxwriter): a fresh, empty file beside the
    // target, and the rename over the target once it is complete.
    static bool createTemporaryBeside(const QString &target, QString *temporaryPath);
    static bool replaceTarget(const QString &temporaryPath, const QString &target);
    static bool makeParentPath(const QString &target);

    // Puts `bytes` at `target` as a new file, never over one that is there (or appears
    // meanwhile): that one counts as success only when it already holds exactly these bytes,
    // else the error is "TARGET exists and differs".
    static bool createOrMatch(const QString &target, const QByteArray &bytes, QString *error);

private:
    void flushBuffer();

    QString m_target;
    QSaveFile m_file;
    std::vector<char> m_buffer;
    size_t m_used = 0;
    bool m_open = false;
    bool m_failed = false;
};
