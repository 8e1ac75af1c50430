#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QFile>
#include <QSaveFile>
#include <QString>

// Writes a file beside the old one and renames it over the old one at the
// end, so a failure at any point leaves the old file as it was. Unlike a
// buffered QSaveFile it never takes a short write (a full disk) for success:
// it buffers on its own, retries what the system did not take, and reports
// the system's reason when the rest cannot be written either.
//
// A power cut must not bring the old file back either: the new file is on
// the disk before the rename, and the folder (which holds the rename) after
// it (through SyncToDisk). A sync that fails is a failure like any other.
class AtomicFileWriter {
public:
    // `directWriteFallback`: where the folder takes no new files but the
    // file itself is writable, write it in place (only for files the user
    // picked; the tool's own files are always replaced whole). The old
    // contents are first copied to KeptCopiesFolder() and synced there, and
    // put back when the new ones cannot be written whole; without that copy
    // nothing is written. The copy goes once the new contents are synced.
    explicit AtomicFileWriter(const QString &path, bool directWriteFallback = false);
    ~AtomicFileWriter();
    AtomicFileWriter(const AtomicFileWriter &) = delete;
    AtomicFileWriter &operator=(const AtomicFileWriter &) = delete;

    bool Open();
    bool Write(QByteArrayView bytes);
    // Writes what is buffered and puts the file in place.
    bool Commit();
    // The system's reason for the first failure.
    QString ErrorString() const;

private:
    bool openInPlace();
    bool writeOut(const char *data, qsizetype size);
    bool flushBuffer();
    bool fail();
    bool failWith(const QString &reason);
    bool syncFolder();
    void restoreOldContents();

    QString m_path;
    bool m_fallbackAllowed = false;
    QSaveFile m_file;
    // In place: the file itself, and the copy of its old contents.
    bool m_inPlace = false;
    bool m_done = false;
    QFile m_direct;
    QString m_backupPath;
    QString m_finalFolder;
    QByteArray m_buffer;
    QString m_error;
};

// Where an in-place write keeps the old contents until the new ones are
// whole: the user's state folder for the tool ($XDG_STATE_HOME/mirto, by
// default ~/.local/state/mirto).
QString KeptCopiesFolder();

// Replaces `path` with `bytes`; "" on success, else the system's reason.
QString ReplaceFile(const QString &path, QByteArrayView bytes, bool directWriteFallback = false);
