#include "shell/AtomicFile.h"

namespace {
constexpr qsizetype BufferSize = 64 * 1024;
}

AtomicFileWriter::AtomicFileWriter(const QString &path, bool directWriteFallback) : m_file(path)
{
    m_file.setDirectWriteFallback(directWriteFallback);
}

bool AtomicFileWriter::Open()
{
    // Unbuffered: QSaveFile's own buffer would swallow a short write.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail();
    m_buffer.reserve(BufferSize);
    return true;
}

bool AtomicFileWriter::fail()
{
    if (m_error.isEmpty())
        m_error = m_file.errorString().isEmpty() ? QStringLiteral("Unknown error") : m_file.errorString();
    return false;
}

bool AtomicFileWriter::Write(QByteArrayView bytes)
{
    if (!m_error.isEmpty())
        return false;
    if (m_buffer.size() + bytes.size() > BufferSize && !flushBuffer())
        return false;
    if (bytes.size() >= BufferSize) {
        m_buffer = bytes.toByteArray();
        return flushBuffer();
    }
    m_buffer.append(bytes);
    return true;
}

bool AtomicFileWriter::flushBuffer()
{
    for (qsizetype done = 0; done < m_buffer.size();) {
        const qint64 n = m_file.write(m_buffer.constData() + done, m_buffer.size() - done);
        if (n <= 0)
            return fail();
        done += qsizetype(n);
    }
    m_buffer.clear();
    return true;
}

bool AtomicFileWriter::Commit()
{
    if (!m_error.isEmpty() || !flushBuffer())
        return false;
    if (!m_file.commit())
        return fail();
    return true;
}

QString AtomicFileWriter::ErrorString() const
{
    return m_error;
}

QString ReplaceFile(const QString &path, QByteArrayView bytes, bool directWriteFallback)
{
    AtomicFileWriter file(path, directWriteFallback);
    if (file.Open() && file.Write(bytes) && file.Commit())
        return {};
    return file.ErrorString();
}
