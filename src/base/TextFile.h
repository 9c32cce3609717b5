#pragma once

#include <QFile>
#include <QSaveFile>
#include <QString>
#include <QStringDecoder>
#include <QStringEncoder>

// Text files of the station, terminals and host are CP932 (Shift-JIS as
// Windows writes it). Lines read end at CR LF, at a lone CR, or at a lone LF;
// lines written end with CR LF.
namespace TextFile {

inline constexpr const char *Encoding = "windows-31j";

QString decode(const QByteArray &bytes);
QByteArray encode(const QString &text);

// Splits decoded text into lines. A last line without an ending counts; the
// empty text after a final line ending does not.
QStringList splitLines(const QString &text);

} // namespace TextFile

// Reads a CP932 text file line by line without holding the whole file, so a
// master file of any size costs a fixed amount of memory.
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
    QString error() const { return m_error; }
    // True when some bytes were not valid CP932 (they decode as U+FFFD).
    bool hadInvalidBytes() const { return m_decoder.hasError(); }

private:
    bool fill();

    QFile m_file;
    QStringDecoder m_decoder;
    QString m_buffer;
    qsizetype m_pos = 0;
    bool m_eof = false;
    QString m_error;
};

// Writes a CP932 text file atomically: the lines go to a temporary file beside
// the target, which replaces the target only when commit() succeeds, so a
// reader never sees a half-written file.
class TextLineWriter
{
public:
    explicit TextLineWriter(const QString &path);

    bool open();
    void writeLine(const QString &line);
    bool commit();
    QString error() const { return m_error; }

private:
    QSaveFile m_file;
    QStringEncoder m_encoder;
    QByteArray m_pending;
    QString m_error;
    bool m_failed = false;
};
