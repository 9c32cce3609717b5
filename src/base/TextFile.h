#pragma once

#include "ByteBuffer.h"
#include "Cp932.h"
#include "SafeFile.h"

#include <QFile>
#include <QString>

// Text files of the station, terminals and host are CP932 (Shift-JIS as
// Windows writes it, see Cp932). Lines read end at CR LF, at a lone CR, or at
// a lone LF; lines written end with CR LF.
namespace TextFile {

// Splits decoded text into lines. A last line without an ending counts; the
// empty text after a final line ending does not.
QStringList splitLines(const QString &text);

// Whether a decoded line held bytes that are not CP932.
bool hasUndecodable(const QString &line);
// The first line, counted from 1, that held bytes that are not CP932; 0 when
// none did.
qsizetype firstUndecodableLine(const QStringList &lines);
// Why such a line is refused, for the operator.
QString undecodableCause();

} // namespace TextFile

// Reads a CP932 text file line by line without holding the whole file, so a
// master file of any size costs a fixed amount of memory. Only a regular file
// is read, and a link under its name is refused (see SafeFile). A line longer than
// MaxLineLength characters (no master or import line comes near it) or holding
// bytes that are not CP932 ends the reading with an error naming the line.
//
// Written by hand rather than with QTextStream: Qt 6's streams decode only
// Unicode encodings, and QIODevice::readLine does not end a line at a lone CR.
class TextLineReader
{
public:
    explicit TextLineReader(const QString &path);

    bool open();
    // The next line without its ending; false at the end of the file or on a
    // read error (see error()).
    bool readLine(QString *line);
    bool atEnd() const;
    // Why reading stopped early; empty at a clean end of the file.
    QString error() const { return m_error; }
    // The line the error is about, counted from 1; 0 when it is about no
    // single line (the file could not be read).
    qint64 errorLine() const { return m_errorLine; }

    static constexpr qsizetype MaxLineLength = 64 * 1024;

private:
    bool fill();
    bool deliver(QString *line, qsizetype end, qsizetype next);
    bool failLine(qint64 line, const QString &cause);
    static QString tooLong();

    QFile m_file;
    Cp932::Decoder m_decoder;
    QString m_buffer;
    // Where the current line starts, and how far it has been searched for
    // its end: a fill resumes the search there, so a line costs time in
    // proportion to its length, however many fills it spans.
    qsizetype m_pos = 0;
    qsizetype m_searched = 0;
    qint64 m_lineNumber = 0;
    bool m_eof = false;
    QString m_error;
    qint64 m_errorLine = 0;
};

// Writes a CP932 text file atomically: the lines go to a temporary file beside
// the target, which replaces the target only when commit() succeeds, so a
// reader never sees a half-written file. A link under the target's name is
// replaced, never its target (see SafeFile::Replacement).
class TextLineWriter
{
public:
    explicit TextLineWriter(const QString &path);

    bool open();
    void writeLine(const QString &line);
    // A line given in UTF-8 pieces, as a database hands out its values: put
    // them, then end the line. Such lines are gathered and converted a batch
    // at a time, one conversion per batch instead of one per line.
    void putUtf8(QByteArrayView text) { m_utf8.append(text); }
    void endUtf8Line();
    bool commit();
    QString error() const { return m_error; }
    bool replacedLink() const { return m_file.replacedLink(); }

private:
    void convertUtf8();
    void writeIfFull();
    void writePending();

    SafeFile::Replacement m_file;
    Cp932::Encoder m_encoder;
    ByteBuffer m_utf8;
    QByteArray m_pending;
    QString m_error;
};
