#include "TextFile.h"

#include <unistd.h>

namespace {

constexpr qsizetype ChunkBytes = 64 * 1024;
constexpr qsizetype FlushBytes = 64 * 1024;

} // namespace

namespace TextFile {

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

bool hasUndecodable(const QString &line)
{
    return line.contains(QChar::ReplacementCharacter);
}

qsizetype firstUndecodableLine(const QStringList &lines)
{
    for (qsizetype i = 0; i < lines.size(); ++i) {
        if (hasUndecodable(lines.at(i)))
            return i + 1;
    }
    return 0;
}

QString undecodableCause()
{
    return QStringLiteral("CP932 として読めないバイトがあります");
}

} // namespace TextFile

TextLineReader::TextLineReader(const QString &path)
    : m_file(path)
{ }

bool TextLineReader::open()
{
    const int fd = SafeFile::openForReading(m_file.fileName(), &m_error);
    if (fd < 0)
        return false;
    if (!m_file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        m_error = m_file.errorString();
        ::close(fd);
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
        // A lead byte at the very end of the file becomes part of the last
        // line, which is then refused.
        m_buffer.append(m_decoder.finish());
        m_eof = true;
        return false;
    }
    m_buffer.remove(0, m_pos);
    m_searched -= m_pos;
    m_pos = 0;
    m_buffer.append(m_decoder.decode(chunk));
    return true;
}

bool TextLineReader::failLine(qint64 line, const QString &cause)
{
    m_error = cause;
    m_errorLine = line;
    return false;
}

bool TextLineReader::deliver(QString *line, qsizetype end, qsizetype next)
{
    ++m_lineNumber;
    *line = m_buffer.mid(m_pos, end - m_pos);
    m_pos = m_searched = next;
    if (line->size() > MaxLineLength)
        return failLine(m_lineNumber, tooLong());
    if (TextFile::hasUndecodable(*line))
        return failLine(m_lineNumber, TextFile::undecodableCause());
    return true;
}

QString TextLineReader::tooLong()
{
    return QStringLiteral("1 行が %1 文字を超えています").arg(MaxLineLength);
}

bool TextLineReader::readLine(QString *line)
{
    if (!m_error.isEmpty())
        return false;
    for (;;) {
        const qsizetype size = m_buffer.size();
        qsizetype i = m_searched;
        while (i < size && m_buffer.at(i) != u'\r' && m_buffer.at(i) != u'\n')
            ++i;
        m_searched = i;
        if (i < size) {
            // A CR as the last decoded character may be the first half of a
            // CR LF split across two reads.
            if (m_buffer.at(i) == u'\r' && i + 1 == size && fill())
                continue;
            qsizetype next = i + 1;
            if (m_buffer.at(i) == u'\r' && next < m_buffer.size() && m_buffer.at(next) == u'\n')
                ++next;
            return deliver(line, i, next);
        }
        if (i - m_pos > MaxLineLength)
            return failLine(m_lineNumber + 1, tooLong());
        if (!fill()) {
            if (!m_error.isEmpty() || m_pos >= m_buffer.size())
                return false;
            return deliver(line, m_buffer.size(), m_buffer.size());
        }
    }
}

bool TextLineReader::atEnd() const
{
    return m_eof && m_pos >= m_buffer.size();
}

TextLineWriter::TextLineWriter(const QString &path)
    : m_file(path)
{ }

bool TextLineWriter::open()
{
    if (!m_file.open()) {
        m_error = m_file.error();
        return false;
    }
    return true;
}

void TextLineWriter::writeLine(const QString &line)
{
    if (!m_error.isEmpty())
        return;
    convertUtf8();
    m_encoder.encodeTo(&m_pending, line);
    m_pending.append("\r\n", 2);
    writeIfFull();
}

void TextLineWriter::endUtf8Line()
{
    putUtf8("\r\n");
    if (m_utf8.size() >= FlushBytes) {
        convertUtf8();
        writeIfFull();
    }
}

// Lines written one way and the other stay in their order.
void TextLineWriter::convertUtf8()
{
    if (m_utf8.size() == 0)
        return;
    m_encoder.encodeTo(&m_pending, QString::fromUtf8(m_utf8.constData(), m_utf8.size()));
    m_utf8.clear();
}

void TextLineWriter::writeIfFull()
{
    if (m_pending.size() >= FlushBytes)
        writePending();
}

void TextLineWriter::writePending()
{
    if (m_error.isEmpty() && !m_file.write(m_pending))
        m_error = m_file.error();
    m_pending.clear();
}

bool TextLineWriter::commit()
{
    convertUtf8();
    writePending();
    if (m_error.isEmpty() && m_encoder.hasError())
        m_error = QStringLiteral("CP932で表せない文字があります");
    if (!m_error.isEmpty()) {
        m_file.discard();
        return false;
    }
    if (!m_file.commit()) {
        m_error = m_file.error();
        return false;
    }
    return true;
}
