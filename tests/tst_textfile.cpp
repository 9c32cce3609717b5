#include "base/Cp932.h"
#include "base/FixedWidth.h"
#include "base/SafeFile.h"
#include "base/TextFile.h"
#include "masters/BulkRow.h"
#include "masters/MasterDefinitions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
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
        QCOMPARE(TextFile::splitLines(Cp932::decode(bytes)), lines);
    }

    // Bytes as Windows' code page 932 reads them, and the bytes it writes for
    // that text again.
    void cp932AsWindows_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("text");
        // What Windows writes for the text, where not the bytes read.
        QTest::addColumn<QByteArray>("written");
        const auto row = [](const char *name,
                            const char *hex,
                            std::u16string_view text,
                            const char *writtenHex = nullptr) {
            const QByteArray bytes = QByteArray::fromHex(hex);
            QTest::newRow(name) << bytes << QString::fromUtf16(text.data(), text.size())
                                << (writtenHex ? QByteArray::fromHex(writtenHex) : bytes);
        };
        row("JIS X 0208 and half-width kana", "82a08ca982b1b1", u"あ見こｱ");
        row("backslash and tilde stay ASCII", "5c7e", u"\\~");
        row("wave dash and minus as Windows", "8160817c815f", u"～－＼");
        row("single 80", "80", u"\u0080");
        row("single A0 and FD-FF", "a0fdfeff", u"\uF8F0\uF8F1\uF8F2\uF8F3");
        row("control bytes 1A 1C 7F unswapped", "1a1c7f", u"\u001A\u001C\u007F");
        row("NEC row 13", "8740875487828790", u"①Ⅰ№≒", "87408754878281e0");
        row("NEC-selected IBM extension", "ed40eefc", u"\u7E8A＂", "fa5cfa57");
        row("IBM extension", "fa40fa5bfc4b", u"ⅰ∵\u9ED1", "fa4081e6fc4b");
        row("user-defined area", "f040f09ef9fc", u"\uE000\uE05D\uE757");
    }

    void cp932AsWindows()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, text);
        QFETCH(QByteArray, written);
        QCOMPARE(Cp932::decode(bytes), text);
        QCOMPARE(Cp932::encode(text), written);
        // The same bytes split anywhere decode the same.
        for (qsizetype cut = 1; cut < bytes.size(); ++cut) {
            Cp932::Decoder decoder;
            QString pieces = decoder.decode(bytes.left(cut));
            pieces += decoder.decode(bytes.mid(cut));
            pieces += decoder.finish();
            QCOMPARE(pieces, text);
        }
    }

    // Every byte and byte pair that decodes is written back as the same
    // bytes, except where Windows writes a character defined twice by its
    // preferred code: JIS X 0208 before NEC row 13, the IBM extension before
    // the NEC-selected copy of it, NEC row 13 before IBM's duplicates of it.
    void cp932RoundTrip()
    {
        const auto duplicate = [](int code) {
            return (code >= 0x8790 && code <= 0x879C) || (code >= 0xED40 && code <= 0xEEFC)
                || (code >= 0xFA4A && code <= 0xFA5B);
        };
        int decoded = 0;
        for (int code = 0; code <= 0xFCFC; ++code) {
            const int lead = code >> 8;
            if (code > 0xFF && (lead < 0x81 || (lead > 0x9F && lead < 0xE0)))
                continue;
            QByteArray bytes;
            if (code > 0xFF)
                bytes.append(char(code >> 8));
            bytes.append(char(code));
            const QString text = Cp932::decode(bytes);
            if (TextFile::hasUndecodable(text))
                continue;
            ++decoded;
            QVERIFY2(text.size() == 1, qPrintable(bytes.toHex()));
            bool ok = false;
            const QByteArray back = Cp932::encode(text, &ok);
            QVERIFY2(ok, qPrintable(bytes.toHex()));
            if (back != bytes) {
                QVERIFY2(duplicate(code), qPrintable(bytes.toHex() + " -> " + back.toHex()));
                QCOMPARE(Cp932::decode(back), text);
            }
        }
        // 256 single bytes less 60 lead bytes; 7,915 characters and 1,880
        // user-defined ones in pairs.
        QCOMPARE(decoded, 196 + 7915 - 191 + 1880);
    }

    // Characters CP932 cannot hold fail the encoding instead of being
    // written as some other byte.
    void unencodableText()
    {
        for (const QString &text : { QStringLiteral("\u00E9"),
                                     QStringLiteral("a\uF86F"),
                                     QStringLiteral("\U0001F600") }) {
            bool ok = true;
            Cp932::encode(text, &ok);
            QVERIFY2(!ok, qPrintable(text));
        }
    }

    // The reader stops at the first line it cannot take and names it; the
    // lines before it come out as read.
    void refusedLines_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<qint64>("errorLine");
        QTest::newRow("undecodable pair")
            << QByteArray("a\r\nb\x85\x40\r\nc\r\n") << QStringList { "a" } << qint64(2);
        QTest::newRow("lead byte before ASCII") << QByteArray("\x82"
                                                              "1\r\n")
                                                << QStringList {} << qint64(1);
        QTest::newRow("lone lead byte ending a line")
            << QByteArray("a\r\nb\r\n\x82\r\nd") << QStringList { "a", "b" } << qint64(3);
        QTest::newRow("lone lead byte ending the file")
            << QByteArray("a\r\nb\x82") << QStringList { "a" } << qint64(2);
        QTest::newRow("lone lead byte after the last line end")
            << QByteArray("a\r\n\x82") << QStringList { "a" } << qint64(2);
        const QByteArray longLine(TextLineReader::MaxLineLength + 1, 'x');
        QTest::newRow("line too long")
            << QByteArray("a\r\n" + longLine + "\r\nb") << QStringList { "a" } << qint64(2);
        QTest::newRow("line too long, no end")
            << QByteArray("a\n" + longLine + longLine) << QStringList { "a" } << qint64(2);
    }

    void refusedLines()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QStringList, lines);
        QFETCH(qint64, errorLine);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("f.dat"));
        writeBytes(path, bytes);
        TextLineReader reader(path);
        QVERIFY(reader.open());
        QStringList read;
        QString line;
        while (reader.readLine(&line))
            read.append(line);
        QCOMPARE(read, lines);
        QVERIFY(!reader.error().isEmpty());
        QCOMPARE(reader.errorLine(), errorLine);
        QVERIFY(!reader.readLine(&line));
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
            bytes += Cp932::encode(line) + "\r\n";
        }
        // The longest line taken, spanning several reads.
        expected.append(QString(TextLineReader::MaxLineLength, QChar(0x3042)));
        bytes += Cp932::encode(expected.last());
        writeBytes(path, bytes);
        QCOMPARE(readAll(path), expected);
    }

    void positionsCountDecodedCharacters()
    {
        const QString line = Cp932::decode(Cp932::encode(QStringLiteral("10001中央食品　　 X")));
        QCOMPARE(FixedWidth::cut(line, 2, 4), u"0001");
        QCOMPARE(FixedWidth::cut(line, 6, 4), u"中央食品");
        QCOMPARE(FixedWidth::cut(line, 10, 3), u"　　 ");
        QCOMPARE(FixedWidth::cut(line, 13, 5), u"X");
        QVERIFY(FixedWidth::cut(line, 40, 3).isEmpty());
        QVERIFY(!FixedWidth::trim(QStringLiteral("   ")).isNull());
    }

    void trimAndCommaToPeriod()
    {
        QCOMPARE(FixedWidth::trim(QStringLiteral(" 　 a b　 ")), QStringLiteral("a b"));
        QCOMPARE(FixedWidth::trim(QStringLiteral("\tx\t")), QStringLiteral("\tx\t"));
        QVERIFY(FixedWidth::isBlank(QStringLiteral(" 　")));
        QVERIFY(!FixedWidth::isBlank(QStringLiteral(" a")));
        QCOMPARE(Bulk::trimmed("　 a　b 　"), QByteArrayView("a　b"));
        QCOMPARE(Bulk::trimmed("　 　"), QByteArrayView(""));
        QByteArray name = QStringLiteral("A,B，C,,＿，").toUtf8();
        Bulk::CommaToPeriod(name.data(), name.size());
        QCOMPARE(QString::fromUtf8(name), QStringLiteral("A.B．C..＿．"));
    }

    // The value a field takes from a line, as the update and the import
    // store it.
    void fieldsAreTakenAsDefined_data()
    {
        using Masters::Take;
        QTest::addColumn<Masters::Take>("take");
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("value");
        const QString name = QStringLiteral("1A1  　果物，青果,他 　ｶﾅ");
        QTest::newRow("as cut, spaces kept") << Take::AsCut << 2 << 4 << name << "A1  ";
        QTest::newRow("trimmed") << Take::Trimmed << 6 << 10 << name << "果物，青果,他";
        QTest::newRow("name") << Take::Name << 6 << 10 << name << "果物．青果.他";
        QTest::newRow("name of spaces") << Take::Name << 4 << 3 << name << "";
        QTest::newRow("cut by the line's end") << Take::Trimmed << 15 << 10 << name << "ｶﾅ";
        QTest::newRow("past the line's end") << Take::AsCut << 40 << 3 << name << "";
        QTest::newRow("empty line") << Take::Name << 1 << 1 << QString() << "";
        QTest::newRow("escapes kept") << Take::AsCut << 2 << 5 << "1a\\N\tb"
                                      << "a\\N\tb";
        QTest::newRow("one position per kanji")
            << Take::Name << 2 << 3 << QStringLiteral("1") + QString(5, u'漢') << "漢漢漢";
    }

    void fieldsAreTakenAsDefined()
    {
        QFETCH(Masters::Take, take);
        QFETCH(int, start);
        QFETCH(int, width);
        QFETCH(QString, line);
        QFETCH(QString, value);
        // A row already holding a value, as from an earlier line's field.
        Bulk::Row row;
        row.append("before");
        row.appendField(Masters::Field { QString(), start, width, take }, line);
        QCOMPARE(row.size(), 2);
        QCOMPARE(QString::fromUtf8(row.value(1)), value);
        QCOMPARE(row.value(0), QByteArrayView("before"));
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
        {
            // Nor does a failed one, and neither leaves its temporary file.
            TextLineWriter writer(path);
            QVERIFY(writer.open());
            writer.writeLine(QStringLiteral("\u00E9"));
            QVERIFY(!writer.commit());
        }
        QFile old(path);
        QVERIFY(old.open(QIODevice::ReadOnly));
        QCOMPARE(old.readAll(), QByteArray("old\r\n"));
        old.close();
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList { "BUNMAS.csv" });

        TextLineWriter writer(path);
        QVERIFY(writer.open());
        writer.writeLine(QStringLiteral("0001,食品,1"));
        QVERIFY(writer.commit());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), Cp932::encode(QStringLiteral("0001,食品,1")) + "\r\n");
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), qsizetype(1));
    }

    // A link planted under a file's name is neither read nor written
    // through: what it points to stays as it is.
    void linksUnderTheNameAreNotFollowed_data()
    {
        QTest::addColumn<bool>("writing");
        QTest::addColumn<bool>("dangling");
        QTest::newRow("read") << false << false;
        QTest::newRow("read, dangling") << false << true;
        QTest::newRow("written") << true << false;
        QTest::newRow("written, dangling") << true << true;
    }

    void linksUnderTheNameAreNotFollowed()
    {
        QFETCH(bool, writing);
        QFETCH(bool, dangling);
        QTemporaryDir dir;
        const QString target = dir.filePath(QStringLiteral("Tarvinex.ini"));
        if (!dangling)
            writeBytes(target, "DBname=tarvinex.db\r\n");
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("rcv")));
        const QString path = dir.filePath(QStringLiteral("rcv/BUNMAS.csv"));
        QVERIFY(QFile::link(target, path));
        if (writing) {
            TextLineWriter writer(path);
            QVERIFY(writer.open());
            writer.writeLine(QStringLiteral("0001"));
            QVERIFY(writer.commit());
            QVERIFY(writer.replacedLink());
            QVERIFY(!QFileInfo(path).isSymLink());
            QCOMPARE(readAll(path), QStringList { "0001" });
        } else {
            TextLineReader reader(path);
            QVERIFY(!reader.open());
            QCOMPARE(reader.error(), QStringLiteral("シンボリックリンクです"));
        }
        QCOMPARE(QFileInfo::exists(target), !dangling);
        if (!dangling)
            QCOMPARE(readAll(target), QStringList { "DBname=tarvinex.db" });
        QCOMPARE(QDir(dir.filePath(QStringLiteral("rcv")))
                     .entryList(QDir::Files | QDir::Hidden | QDir::System),
                 QStringList { "BUNMAS.csv" });
    }

    // A folder that is a link, as an administrator may set one, is followed.
    void linkedFoldersAreFollowed()
    {
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("elsewhere")));
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("elsewhere")),
                            dir.filePath(QStringLiteral("rcv"))));
        const QString path = dir.filePath(QStringLiteral("rcv/BUNMAS.csv"));
        TextLineWriter writer(path);
        QVERIFY(writer.open());
        writer.writeLine(QStringLiteral("0001"));
        QVERIFY(writer.commit());
        QCOMPARE(readAll(path), QStringList { "0001" });
        QVERIFY(QFile::exists(dir.filePath(QStringLiteral("elsewhere/BUNMAS.csv"))));
    }

    // A received file moved into a backup folder on another disk (the data
    // folder elsewhere) arrives whole and never replaces a backup.
    void movingToAnotherFileSystem()
    {
        if (!QFileInfo(QStringLiteral("/dev/shm")).isWritable())
            QSKIP("no second file system at /dev/shm");
        QTemporaryDir here;
        QTemporaryDir there(QStringLiteral("/dev/shm/tarvinex-XXXXXX"));
        const QString from = here.filePath(QStringLiteral("S_HACH.dat"));
        const QString to = there.filePath(QStringLiteral("S_HACH.dat"));
        writeBytes(from, "order\r\n");
        QString why;
        QVERIFY2(SafeFile::moveNew(from, to, &why), qPrintable(why));
        QVERIFY(!QFileInfo::exists(from));
        writeBytes(from, "next\r\n");
        QVERIFY(!SafeFile::moveNew(from, to, &why));
        QVERIFY(QFileInfo::exists(from));
        QFile moved(to);
        QVERIFY(moved.open(QIODevice::ReadOnly));
        QCOMPARE(moved.readAll(), QByteArray("order\r\n"));
        QCOMPARE(QDir(there.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
    }

    // Lines put as UTF-8 pieces, as exports are, and lines given as text
    // keep their order and their bytes.
    void utf8LinesAndTextLinesKeepTheirOrder()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("out.csv"));
        TextLineWriter writer(path);
        QVERIFY(writer.open());
        writer.putUtf8("0001,");
        writer.putUtf8("食品");
        writer.endUtf8Line();
        writer.writeLine(QStringLiteral("text"));
        writer.putUtf8("0002");
        writer.endUtf8Line();
        QVERIFY(writer.commit());
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(),
                 Cp932::encode(QStringLiteral("0001,食品\r\ntext\r\n0002")) + "\r\n");
    }
};

QTEST_GUILESS_MAIN(TestTextFile)
#include "tst_textfile.moc"
