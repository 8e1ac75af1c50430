#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QSaveFile>
#include <QString>

// Writes a file beside the old one and renames it over the old one at the
// end, so a failure at any point leaves the old file as it was. Unlike a
// buffered QSaveFile it never takes a short write (a full disk) for success:
// it buffers on its own, retries what the system did not take, and reports
// the system's reason when the rest cannot be written either.
class AtomicFileWriter {
public:
    // `directWriteFallback`: where the folder takes no new files but the
    // file itself is writable, write it in place (only for files the user
    // picked; the tool's own files are always replaced whole).
    explicit AtomicFileWriter(const QString &path, bool directWriteFallback = false);

    bool Open();
    bool Write(QByteArrayView bytes);
    // Writes what is buffered and puts the file in place.
    bool Commit();
    // The system's reason for the first failure.
    QString ErrorString() const;

private:
    bool flushBuffer();
    bool fail();

    QSaveFile m_file;
    QByteArray m_buffer;
    QString m_error;
};

// Replaces `path` with `bytes`; "" on success, else the system's reason.
QString ReplaceFile(const QString &path, QByteArrayView bytes, bool directWriteFallback = false);
