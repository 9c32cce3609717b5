#include "MasterDefinitions.h"

namespace Masters {

namespace {

using T = Take;

Field f(const char *column, int start, int width, Take take = T::AsCut)
{
    return Field { QString::fromUtf8(column), start, width, take };
}

ExportColumn trimmed(const char *column)
{
    return ExportColumn { QString::fromUtf8(column), true };
}

ExportColumn returned(const char *column)
{
    return ExportColumn { QString::fromUtf8(column), false };
}

Definition category()
{
    Definition d;
    d.name = QStringLiteral("BUNMAS");
    d.caption = QStringLiteral("分類マスタ");
    d.keyColumn = QStringLiteral("分類コード");
    d.fields = { f("有効区分", 1, 1),    f("分類コード", 2, 4), f("分類漢字名", 6, 20, T::Name),
                 f("消費税区分", 26, 1), f("消費税率", 27, 3),  f("分類カナ名", 30, 10, T::Name),
                 f("filler", 40, 3) };
    d.exportColumns = { trimmed("分類コード"), trimmed("分類漢字名"), returned("消費税区分"),
                        returned("消費税率"),  trimmed("分類カナ名"), returned("有効区分"),
                        returned("filler") };
    d.importFields = { f("有効区分", 1, 1),
                       f("分類コード", 2, 4),
                       f("分類漢字名", 6, 20, T::Trimmed),
                       f("消費税区分", 26, 1, T::Trimmed),
                       f("消費税率", 27, 3, T::Trimmed),
                       f("分類カナ名", 30, 10, T::Trimmed),
                       f("filler", 40, 3) };
    return d;
}

Definition store()
{
    Definition d;
    d.name = QStringLiteral("TENMAS");
    d.caption = QStringLiteral("店舗マスタ");
    d.keyColumn = QStringLiteral("店舗コード");
    d.fields = { f("有効区分", 1, 1),
                 f("店舗コード", 2, 3),
                 f("店舗名漢字", 5, 15, T::Name),
                 f("filler", 20, 14) };
    d.exportColumns = { trimmed("店舗コード"), trimmed("店舗名漢字"), returned("有効区分") };
    d.importFields = { f("有効区分", 1, 1),
                       f("店舗コード", 2, 3),
                       f("店舗名漢字", 5, 15, T::Trimmed),
                       f("filler", 20, 14) };
    return d;
}

// Suppliers and customers share one line layout; the update stores the
// filler only for customers, and only the supplier export repeats the kind.
Definition trader(const char *name, const char *caption, const char *prefix, bool storesFiller)
{
    const QString p = QString::fromUtf8(prefix);
    const auto col = [&p](const char *suffix) {
        return (p + QString::fromUtf8(suffix)).toUtf8();
    };
    const QByteArray code = col("コード");
    const QByteArray kanji = col("漢字名");
    const QByteArray kana = col("カナ名");

    Definition d;
    d.name = QString::fromUtf8(name);
    d.caption = QString::fromUtf8(caption);
    d.keyColumn = QString::fromUtf8(code);
    d.fields = { f("有効区分", 1, 1),
                 f(code.constData(), 2, 6),
                 f(kanji.constData(), 8, 20, T::Name),
                 f("業者区分", 28, 1),
                 f("消費税区分", 29, 1),
                 f("端数処理", 30, 1),
                 f("丸め単位", 31, 1),
                 f(kana.constData(), 32, 10, T::Name) };
    if (storesFiller)
        d.fields.append(f("filler", 42, 1));
    d.exportColumns
        = { returned(code.constData()), trimmed(kanji.constData()), returned("業者区分"),
            returned("消費税区分"),     returned("端数処理"),       returned("丸め単位"),
            trimmed(kana.constData()),  returned("有効区分") };
    if (!storesFiller)
        d.exportColumns.append(returned("有効区分"));
    d.importFields = {
        f("有効区分", 1, 1),  f(code.constData(), 2, 6),   f(kanji.constData(), 8, 20, T::Trimmed),
        f("業者区分", 28, 1), f("消費税区分", 29, 1),      f("端数処理", 30, 1),
        f("丸め単位", 31, 1), f(kana.constData(), 32, 10), f("filler", 42, 1)
    };
    return d;
}

Definition product()
{
    // Positions 28 onwards are read alike by the update and the import.
    const QList<Field> tail
        = { f("分類コード", 62, 4),   f("発注単位", 66, 3),     f("仕入先コード", 69, 6),
            f("入力区分", 75, 1),     f("原価", 76, 9),         f("売価", 85, 7),
            f("端数処理", 92, 1),     f("丸め単位", 93, 1),     f("税区分1", 94, 1),
            f("適用開始日1", 95, 8),  f("税率1", 103, 3),       f("税区分2", 106, 1),
            f("適用開始日2", 107, 8), f("税率2", 115, 3),       f("特売開始日1", 118, 8),
            f("特売終了日1", 126, 8), f("特売原価1", 134, 9),   f("特売売価1", 143, 7),
            f("特売開始日2", 150, 8), f("特売終了日2", 158, 8), f("特売開始日3", 166, 8),
            f("特売終了日3", 174, 8) };

    Definition d;
    d.name = QStringLiteral("SHOMAS");
    d.caption = QStringLiteral("商品マスタ");
    d.keyColumn = QStringLiteral("商品コード");
    d.letsEventsRun = true;
    d.fields = { f("有効区分", 1, 1),
                 f("商品コード", 2, 13),
                 f("自社コード", 15, 12),
                 f("商品漢字名", 28, 20, T::Name),
                 f("商品カナ名", 48, 14, T::Name) };
    d.fields.append(tail);
    d.exportColumns = {
        trimmed("商品コード"), trimmed("自社コード"), trimmed("商品漢字名"), trimmed("商品カナ名")
    };
    for (const Field &field : tail)
        d.exportColumns.append(ExportColumn { field.column, false });
    d.exportColumns.append(returned("有効区分"));
    // The import reads the in-house code 13 wide, taking in position 27.
    d.importFields = { f("有効区分", 1, 1),
                       f("商品コード", 2, 13, T::Trimmed),
                       f("自社コード", 15, 13, T::Trimmed),
                       f("商品漢字名", 28, 20, T::Trimmed),
                       f("商品カナ名", 48, 14, T::Trimmed) };
    d.importFields.append(tail);
    return d;
}

Definition inHouseCode()
{
    Definition d;
    d.name = QStringLiteral("JISYA");
    d.caption = QStringLiteral("自社コード");
    d.keyColumn = QStringLiteral("自社コード");
    // The update keeps twelve characters of the thirteen-character slot and
    // finds a row by that stored form, so applying a file again never adds a
    // second row for the same code.
    d.fields = { f("有効区分", 1, 1),
                 f("自社コード", 2, 12, T::Trimmed),
                 f("商品コード", 15, 13, T::Trimmed) };
    d.exportColumns = { trimmed("自社コード"), trimmed("商品コード"), returned("有効区分") };
    d.importFields = { f("有効区分", 1, 1),
                       f("自社コード", 2, 13, T::Trimmed),
                       f("商品コード", 15, 13, T::Trimmed) };
    return d;
}

int indexOfColumn(const QList<Field> &fields, const QString &column)
{
    for (int i = 0; i < fields.size(); ++i) {
        if (fields.at(i).column == column)
            return i;
    }
    return -1;
}

} // namespace

QStringList Definition::terminalColumns() const
{
    QStringList columns { QString::fromUtf8(TerminalIdColumn) };
    for (const Field &field : fields)
        columns.append(field.column);
    return columns;
}

QStringList Definition::importColumns() const
{
    QStringList columns;
    for (const Field &field : importFields)
        columns.append(field.column);
    return columns;
}

int Definition::keyFieldIndex() const
{
    return indexOfColumn(fields, keyColumn);
}

int Definition::importKeyFieldIndex() const
{
    return indexOfColumn(importFields, keyColumn);
}

const QList<Definition> &all()
{
    static const QList<Definition> masters = {
        category(),
        store(),
        trader("SIRMAS", "仕入先マスタ", "仕入先", false),
        trader("TOKMAS", "得意先マスタ", "得意先", true),
        product(),
        inHouseCode(),
    };
    return masters;
}

const Definition *find(const QString &name)
{
    for (const Definition &d : all()) {
        if (d.name == name)
            return &d;
    }
    return nullptr;
}

QStringList names()
{
    QStringList list;
    for (const Definition &d : all())
        list.append(d.name);
    return list;
}

} // namespace Masters
