// Every master's fields are cut out of host lines by position. Over any line
// the host might send, a field is at most its width, never null, and taken as
// its definition says: as cut, trimmed, or trimmed with no comma left.
#include "base/FixedWidth.h"
#include "base/TextFile.h"
#include "masters/MasterDefinitions.h"

#include <cstdint>
#include <cstdlib>

namespace {

bool isSpace(QChar c)
{
    return c == u' ' || c == QChar(0x3000);
}

void check(const Masters::Field &field, const QString &line)
{
    const QString value = field.from(line);
    if (value.isNull() || value.size() > field.width)
        abort();
    const QString cut = line.mid(field.start - 1, field.width);
    switch (field.take) {
    case Masters::Take::AsCut:
        if (value != cut)
            abort();
        return;
    case Masters::Take::Trimmed:
        if (value != FixedWidth::trim(cut))
            abort();
        break;
    case Masters::Take::Name:
        if (value.contains(u',') || value.contains(QChar(0xFF0C))
            || value.size() != FixedWidth::trim(cut).size())
            abort();
        break;
    }
    if (!value.isEmpty() && (isSpace(value.front()) || isSpace(value.back())))
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text
        = TextFile::decode(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    const QStringList lines = TextFile::splitLines(text);
    for (const Masters::Definition &definition : Masters::all()) {
        for (const QString &line : lines) {
            for (const Masters::Field &field : definition.fields)
                check(field, line);
            for (const Masters::Field &field : definition.importFields)
                check(field, line);
        }
    }
    return 0;
}
