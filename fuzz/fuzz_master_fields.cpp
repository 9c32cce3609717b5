// Every master's fields are cut out of host lines by position, by the same
// row the update and the import fill. Over any line the host might send,
// each value must be what a plain reading of its definition gives: the
// characters at its positions, trimmed of half-width and full-width spaces,
// and for a name with every comma made a period. The export's trim on UTF-8
// must agree with that reading too.
#include "base/Cp932.h"
#include "base/TextFile.h"
#include "masters/BulkRow.h"
#include "masters/MasterDefinitions.h"

#include <cstdint>
#include <cstdlib>

namespace {

bool isSpace(QChar c)
{
    return c == u' ' || c == QChar(0x3000);
}

QString trimmedOracle(QString text)
{
    while (!text.isEmpty() && isSpace(text.front()))
        text.remove(0, 1);
    while (!text.isEmpty() && isSpace(text.back()))
        text.chop(1);
    return text;
}

QString valueOracle(const Masters::Field &field, const QString &line)
{
    QString text = field.start > line.size() ? QString() : line.mid(field.start - 1, field.width);
    if (field.take == Masters::Take::AsCut)
        return text;
    text = trimmedOracle(text);
    if (field.take == Masters::Take::Name)
        text.replace(u',', u'.').replace(QChar(0xFF0C), QChar(0xFF0E));
    return text;
}

void check(Bulk::Row &row, const QList<Masters::Field> &fields, const QString &line)
{
    row.clear();
    row.appendFields(fields, line);
    if (row.size() != fields.size())
        abort();
    for (qsizetype i = 0; i < fields.size(); ++i) {
        const QString expected = valueOracle(fields.at(i), line);
        if (row.value(i) != expected.toUtf8())
            abort();
        if (Bulk::trimmed(row.value(i)) != trimmedOracle(expected).toUtf8())
            abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text
        = Cp932::decode(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    const QStringList lines = TextFile::splitLines(text);
    // One row for every line, as the update reuses it.
    Bulk::Row row;
    for (const Masters::Definition &definition : Masters::all()) {
        for (const QString &line : lines) {
            check(row, definition.fields, line);
            check(row, definition.importFields, line);
        }
    }
    return 0;
}
