#include "base/FixedWidth.h"
#include "base/TextFile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

class TestTextFile : public QObject
{
    Q_OBJECT

private:
    static QStringList readAll(const QString &path)
    {
        TextLineReader reader(path);
        if (!reader.open())
            return { QStringLiteral("<cannot open>") };
        QStringList lines;
        QString line;
        while (reader.readLine(&line))
            lines.append(line);
        return lines;
    }

    static void writeBytes(const QString &path, const QByteArray &bytes)
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }

private Q_SLOTS:
    void lineEndings_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("lines");
        QTest::newRow("CR LF") << QByteArray("a\r\nb\r\n") << QStringList { "a", "b" };
        QTest::newRow("lone CR") << QByteArray("a\rb\r") << QStringList { "a", "b" };
        QTest::newRow("lone LF") << QByteArray("a\nb\n") << QStringList { "a", "b" };
        QTest::newRow("mixed, no final end")
            << QByteArray("a\r\nb\rc\nd") << QStringList { "a", "b", "c", "d" };
        QTest::newRow("blank lines kept")
            << QByteArray("\r\n\r\nx\r\n") << QStringList { "", "", "x" };
        QTest::newRow("empty file") << QByteArray() << QStringList {};
    }

    void lineEndings()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, lines);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("f.dat"));
        writeBytes(path, bytes);
        QCOMPARE(readAll(path), lines);
        QCOMPARE(TextFile::splitLines(TextFile::decode(bytes)), lines);
    }

    // Lines longer than the reader's chunk, and a CR LF split across two
    // chunks, come out whole.
    void largeFileAcrossChunks()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("big.dat"));
        QStringList expected;
        QByteArray bytes;
        for (int i = 0; i < 3000; ++i) {
            const QString line = QStringLiteral("1%1商品名ｶﾅ").arg(i, 6, 10, QChar(u'0'))
                + QString(i % 97, QChar(0x3042));
            expected.append(line);
            bytes += TextFile::encode(line) + "\r\n";
        }
        writeBytes(path, bytes);
        QCOMPARE(readAll(path), expected);
    }

    void positionsCountDecodedCharacters()
    {
        const QString line
            = TextFile::decode(TextFile::encode(QStringLiteral("10001中央食品　　 X")));
        QCOMPARE(FixedWidth::cut(line, 2, 4), QStringLiteral("0001"));
        QCOMPARE(FixedWidth::cut(line, 6, 4), QStringLiteral("中央食品"));
        QCOMPARE(FixedWidth::cut(line, 10, 3), QStringLiteral("　　 "));
        QCOMPARE(FixedWidth::cut(line, 13, 5), QStringLiteral("X"));
        QCOMPARE(FixedWidth::cut(line, 40, 3), QString());
        // Past the end is empty text, not a missing value: bound as NULL it
        // would slip past the one-row-per-key rule of the tables.
        QVERIFY(!FixedWidth::cut(line, 40, 3).isNull());
        QVERIFY(!FixedWidth::trim(QStringLiteral("   ")).isNull());
    }

    void trimAndCommaToPeriod()
    {
        QCOMPARE(FixedWidth::trim(QStringLiteral(" 　 a b　 ")), QStringLiteral("a b"));
        QCOMPARE(FixedWidth::trim(QStringLiteral("\tx\t")), QStringLiteral("\tx\t"));
        QVERIFY(FixedWidth::isBlank(QStringLiteral(" 　")));
        QVERIFY(!FixedWidth::isBlank(QStringLiteral(" a")));
        QCOMPARE(CommaToPeriod(QStringLiteral("A,B，C,,")), QStringLiteral("A.B．C.."));
    }

    void writerReplacesAtomicallyInCp932()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("BUNMAS.csv"));
        writeBytes(path, "old\r\n");
        {
            TextLineWriter writer(path);
            QVERIFY(writer.open());
            writer.writeLine(QStringLiteral("0001,食品,1"));
            writer.writeLine(QString());
            // Not committed: the old file stays.
        }
        QFile old(path);
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray("old\r\n"));
        old.close();

        TextLineWriter writer(path);
        QVERIFY(writer.open());
        writer.writeLine(QStringLiteral("0001,食品,1"));
        QVERIFY(writer.commit());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), TextFile::encode(QStringLiteral("0001,食品,1")) + "\r\n");
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files).size(), qsizetype(1));
    }
};

QTEST_GUILESS_MAIN(TestTextFile)
#include "tst_textfile.moc"
