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
    // With the top bit of the first byte set, a long first line moves the rest
    // of the input across the reader's first chunk boundary (64 KiB).
    QByteArray bytes;
    if (data[0] & 0x80)
        bytes = QByteArray(64 * 1024 - 8 + (data[0] & 0x0F), 'A');
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
    if (!reader.error().isEmpty() || !reader.atEnd())
        abort();

    const QString text = TextFile::decode(bytes);
    if (text.contains(QChar::ReplacementCharacter) || (text.isNull() && !bytes.isEmpty()))
        return 0; // invalid bytes: the reader's own report decides
    if (lines != TextFile::splitLines(text))
        abort();
    return 0;
}
