// The line reader streams master files of any size in chunks. Read through a
// real file, it must give the lines the whole decoded text gives, wherever a
// chunk boundary falls (a CR LF or a double-byte character split in two).
#include "base/TextFile.h"

#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace {

QTemporaryDir *folder;

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    folder = new QTemporaryDir;
    return folder->isValid() ? 0 : 1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    // With the top bit of the first byte set, short lines before it move the
    // rest of the input across the reader's first chunk boundary (64 KiB).
    QByteArray bytes;
    if (data[0] & 0x80)
        bytes = QByteArray("AAAAAAA\r\n").repeated(7281) + QByteArray(data[0] & 0x0F, 'A');
    bytes.append(reinterpret_cast<const char *>(data) + 1, qsizetype(size) - 1);

    const QString path = folder->filePath(QStringLiteral("lines.dat"));
    {
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)
            || file.write(bytes) != bytes.size())
            abort();
    }

    TextLineReader reader(path);
    if (!reader.open())
        abort();
    QStringList lines;
    QString line;
    while (reader.readLine(&line)) {
        if (line.contains(u'\r') || line.contains(u'\n'))
            abort();
        lines.append(line);
        if (lines.size() > bytes.size() + 1)
            abort(); // more lines than the file has bytes: the reader is not advancing
    }

    const QString text = Cp932::decode(bytes);
    const bool undecodable
        = text.contains(QChar::ReplacementCharacter) || (text.isNull() && !bytes.isEmpty());
    const QStringList expected = TextFile::splitLines(text);
    if (!reader.error().isEmpty()) {
        // Only bytes that are not CP932 may stop the reading, and what was
        // read until then is what the file holds.
        if (!undecodable || expected.mid(0, lines.size()) != lines)
            abort();
        return 0;
    }
    if (!reader.atEnd())
        abort();
    if (!undecodable && lines != expected)
        abort();
    return 0;
}
