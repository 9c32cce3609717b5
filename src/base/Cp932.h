#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QStringView>

// CP932 as Windows reads and writes it: the terminals, the host and the
// settings file all come from Windows, so a byte the host has always sent must
// read here as it reads there, and be written back as the same byte.
//
// The tables are ICU's (through Qt), which agree with Windows for every
// double-byte row, the NEC and IBM extensions and the user-defined area
// (F040-F9FC as U+E000-U+E757). Where ICU's table differs, the Windows
// mapping is applied here: the single bytes 80, A0, FD, FE, FF (U+0080,
// U+F8F0-U+F8F3, which ICU refuses) and the control bytes 1A, 1C, 7F (which
// ICU's table swaps among themselves).
namespace Cp932 {

// Decodes a byte stream that may arrive in pieces. A byte sequence no table
// decodes, a lead byte not followed by a trail byte among them, becomes one
// U+FFFD: no CP932 sequence decodes to it, so a reader can tell the line that
// held it.
class Decoder
{
public:
    Decoder();

    // Decodes the next piece; a lead byte at its end waits for the next one.
    QString decode(QByteArrayView bytes);
    // Ends the stream: a lead byte still waiting decodes as U+FFFD.
    QString finish();

private:
    void decodeTo(QString *out, QByteArrayView bytes);

    QStringDecoder m_table;
    char m_lead = 0;
    bool m_hasLead = false;
};

// Encodes text, or fails on a character CP932 cannot hold.
class Encoder
{
public:
    Encoder();

    void encodeTo(QByteArray *out, QStringView text);
    // Whether some character since construction could not be encoded.
    bool hasError() const { return m_failed || m_table.hasError(); }

private:
    QStringEncoder m_table;
    bool m_failed = false;
};

QString decode(QByteArrayView bytes);
// ok, when given, tells whether every character could be encoded.
QByteArray encode(QStringView text, bool *ok = nullptr);

} // namespace Cp932
