#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <vector>

// One saved session as the record of saved sessions keeps it.
struct SavedSessionEntry {
    uint32_t index = 0;
    uint32_t startAddress = 0;
    uint32_t endAddress = 0;
    uint64_t size = 0;
    QDateTime start;  // null when the span was not known at the save
    QDateTime end;
    QString path;
    QDateTime savedAt;
};

// The file behind SavedSessionRegistry: reading it, and changing it by read-merge-write under a
// lock file beside it, so that two programs saving at the same moment both keep their entries.
// No state of its own beyond the name: any thread, one call at a time per caller.
//
// A file that cannot be opened or read right now (a virus scanner, a sync tool holding it) is
// tried again a few times and never taken for damage; damage is what parses wrongly. A file of
// a newer format is read as far as this version understands it and never written over; a path
// that is not a regular file (a folder, a device, a pipe) is refused before anything is read.
class SavedSessionFile
{
public:
    using Records = std::map<QString, std::map<uint32_t, SavedSessionEntry>>;
    // Reads the whole file; false with a reason when it cannot be read (not: is damaged).
    using ByteReader = std::function<bool(const QString &fileName, QByteArray *bytes, QString *error)>;

    enum class Status { Ok, Missing, Damaged, Unreadable, Newer, NotRegular };

    struct ReadResult {
        Status status = Status::Missing;
        Records records;  // what could be used (all of it, or the good part)
        QString error;    // for any status but Ok and Missing
    };

    // One change of a write: an entry recorded, or an entry forgotten (only while it is the one
    // that was saved at `entry.savedAt`: a newer save of the same index stays).
    struct Change {
        QString serial;
        SavedSessionEntry entry;
        bool forget = false;
    };

    struct WriteResult {
        bool written = false;
        Records records;  // the file's contents after the write (or as read, when not written)
        QString error;
        QString keptAs;         // where a damaged file was set aside before the write
        bool readOnly = false;  // the file is of a newer format
    };

    static constexpr int kFormatVersion = 1;
    static constexpr int kReadAttempts = 4;
    static constexpr int kRetryDelayMs = 100;
    static constexpr int kLockWaitMs = 30000;

    explicit SavedSessionFile(const QString &fileName, ByteReader reader = {});

    QString fileName() const { return m_fileName; }

    ReadResult read() const;
    WriteResult apply(const std::vector<Change> &changes) const;

    // The merge of a write, also used for the in-memory view: later saves win.
    static void applyChange(Records *records, const Change &change);
    static QByteArray toBytes(const Records &records);

private:
    ReadResult readOnce() const;
    ReadResult parse(const QByteArray &bytes) const;
    bool setAside(QString *keptAs, QString *error) const;

    QString m_fileName;
    ByteReader m_reader;
};
