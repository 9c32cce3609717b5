#include "TextFile.h"

namespace {

constexpr qsizetype ChunkBytes = 64 * 1024;
constexpr qsizetype FlushBytes = 64 * 1024;

} // namespace

namespace TextFile {

QString decode(const QByteArray &bytes)
{
    QStringDecoder decoder(Encoding);
    return decoder.decode(bytes);
}

QByteArray encode(const QString &text)
{
    QStringEncoder encoder(Encoding);
    return encoder.encode(text);
}

QStringList splitLines(const QString &text)
{
    QStringList lines;
    qsizetype start = 0;
    const qsizetype size = text.size();
    for (qsizetype i = 0; i < size; ++i) {
        const QChar c = text.at(i);
        if (c != u'\r' && c != u'\n')
            continue;
        lines.append(text.mid(start, i - start));
        if (c == u'\r' && i + 1 < size && text.at(i + 1) == u'\n')
            ++i;
        start = i + 1;
    }
    if (start < size)
        lines.append(text.mid(start));
    return lines;
}

} // namespace TextFile

TextLineReader::TextLineReader(const QString &path)
    : m_file(path)
    , m_decoder(TextFile::Encoding)
{ }

bool TextLineReader::open()
{
    if (!m_file.open(QIODevice::ReadOnly)) {
        m_error = m_file.errorString();
        return false;
    }
    return true;
}

bool TextLineReader::fill()
{
    if (m_eof)
        return false;
    const QByteArray chunk = m_file.read(ChunkBytes);
    if (chunk.isEmpty()) {
        if (m_file.error() != QFileDevice::NoError)
            m_error = m_file.errorString();
        m_eof = true;
        return false;
    }
    m_buffer.remove(0, m_pos);
    m_pos = 0;
    m_buffer.append(m_decoder.decode(chunk));
    return true;
}

bool TextLineReader::readLine(QString *line)
{
    for (;;) {
        const qsizetype size = m_buffer.size();
        qsizetype i = m_pos;
        while (i < size && m_buffer.at(i) != u'\r' && m_buffer.at(i) != u'\n')
            ++i;
        if (i < size) {
            // A CR as the last decoded character may be the first half of a
            // CR LF split across two reads.
            if (m_buffer.at(i) == u'\r' && i + 1 == size && fill())
                continue;
            *line = m_buffer.mid(m_pos, i - m_pos);
            if (m_buffer.at(i) == u'\r' && i + 1 < m_buffer.size() && m_buffer.at(i + 1) == u'\n')
                ++i;
            m_pos = i + 1;
            return true;
        }
        if (!fill()) {
            if (!m_error.isEmpty() || m_pos >= m_buffer.size())
                return false;
            *line = m_buffer.mid(m_pos);
            m_pos = m_buffer.size();
            return true;
        }
    }
}

bool TextLineReader::atEnd() const
{
    return m_eof && m_pos >= m_buffer.size();
}

TextLineWriter::TextLineWriter(const QString &path)
    : m_file(path)
    , m_encoder(TextFile::Encoding)
{ }

bool TextLineWriter::open()
{
    if (!m_file.open(QIODevice::WriteOnly)) {
        m_error = m_file.errorString();
        m_failed = true;
        return false;
    }
    return true;
}

void TextLineWriter::writeLine(const QString &line)
{
    if (m_failed)
        return;
    m_pending.append(m_encoder.encode(line));
    m_pending.append("\r\n", 2);
    if (m_pending.size() >= FlushBytes) {
        if (m_file.write(m_pending) != m_pending.size()) {
            m_error = m_file.errorString();
            m_failed = true;
        }
        m_pending.clear();
    }
}

bool TextLineWriter::commit()
{
    if (!m_failed && !m_pending.isEmpty() && m_file.write(m_pending) != m_pending.size()) {
        m_error = m_file.errorString();
        m_failed = true;
    }
    m_pending.clear();
    if (m_failed) {
        m_file.cancelWriting();
        return false;
    }
    if (m_encoder.hasError()) {
        m_error = QStringLiteral("CP932で表せない文字があります");
        m_file.cancelWriting();
        return false;
    }
    if (!m_file.commit()) {
        m_error = m_file.errorString();
        return false;
    }
    return true;
}
