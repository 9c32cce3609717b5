#include "link/Crc32.h"
#include "link/DrainDeadline.h"
#include "link/FrameDeadline.h"
#include "link/LinkFrame.h"
#include "link/LinkProtocol.h"
#include "link/Wire.h"

#include <QElapsedTimer>
#include <QMessageAuthenticationCode>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace Link;

class TestLinkFrame : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void crc32KnownValues_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<quint32>("crc");
        QTest::newRow("empty") << QByteArray() << 0x00000000u;
        QTest::newRow("check") << QByteArray("123456789") << 0xCBF43926u;
        QTest::newRow("fox") << QByteArray("The quick brown fox jumps over the lazy dog")
                             << 0x414FA339u;
        QTest::newRow("zeros 32") << QByteArray(32, '\0') << 0x190A55ADu;
    }

    void crc32KnownValues()
    {
        QFETCH(QByteArray, data);
        QFETCH(quint32, crc);
        QCOMPARE(Crc32::of(data), crc);
        // Byte by byte gives the same, whatever the alignment of the pieces.
        Crc32 pieces;
        for (qsizetype i = 0; i < data.size(); i += 3)
            pieces.update(
                QByteArrayView(data.constData() + i, qMin<qsizetype>(3, data.size() - i)));
        QCOMPARE(pieces.value(), crc);
    }

    void frameLayoutIsAsDocumented()
    {
        // The example of docs/terminal-link.md: HELLO of terminal 3, version 1.
        const QByteArray frame = encodeFrame(Hello, encodeHello({ 1, 3 }));
        QCOMPARE(frame.toHex(' '), QByteArray("54 56 00 00 00 04 01 00 01 00 03 d8 33 44 85"));
    }

    void framesSurviveAnySplit()
    {
        QByteArray stream;
        const QByteArray big(int(MaxPayload), 'x');
        stream += encodeFrame(Hello, encodeHello({ 1, 42 }));
        stream += encodeFrame(Data, big);
        stream += encodeFrame(Bye);
        for (const qsizetype piece : { qsizetype(1), qsizetype(7), qsizetype(4096) }) {
            FrameDecoder decoder;
            QList<Frame> frames;
            for (qsizetype i = 0; i < stream.size(); i += piece) {
                decoder.feed(
                    QByteArrayView(stream.constData() + i, qMin(piece, stream.size() - i)));
                Frame f;
                QString error;
                while (decoder.next(&f, &error) == FrameDecoder::Result::Frame)
                    frames.append(f);
            }
            QCOMPARE(frames.size(), 3);
            QCOMPARE(frames.at(0).type, quint8(Hello));
            QCOMPARE(decodeHello(frames.at(0).payload)->terminal, quint16(42));
            QCOMPARE(frames.at(1).payload, big);
            QCOMPARE(frames.at(2).type, quint8(Bye));
            QCOMPARE(decoder.buffered(), qsizetype(0));
        }
    }

    void damagedFramesAreErrors_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        const QByteArray good = encodeFrame(Data, QByteArray("payload"));
        QByteArray flipped = good;
        flipped[9] = char(flipped.at(9) ^ 0x01);
        QByteArray badCrc = good;
        badCrc[badCrc.size() - 1] = char(badCrc.at(badCrc.size() - 1) ^ 0x80);
        QByteArray tooLong = good;
        tooLong[2] = 0x01; // length 16 MiB and more
        QTest::newRow("payload bit") << flipped;
        QTest::newRow("crc bit") << badCrc;
        QTest::newRow("length beyond limit") << tooLong;
        QTest::newRow("not a frame") << QByteArray("GET / HTTP/1.1\r\n\r\n");
    }

    void damagedFramesAreErrors()
    {
        QFETCH(QByteArray, bytes);
        FrameDecoder decoder;
        decoder.feed(bytes);
        Frame frame;
        QString error;
        QCOMPARE(decoder.next(&frame, &error), FrameDecoder::Result::Error);
        QVERIFY(!error.isEmpty());
        // A failed decoder stays failed, whatever comes after.
        decoder.feed(encodeFrame(Bye));
        QCOMPARE(decoder.next(&frame, &error), FrameDecoder::Result::Error);
    }

    void huntingSkipsNoiseBeforeAFrame()
    {
        FrameDecoder decoder(true);
        decoder.feed(QByteArray("\x00\xffT noise T") + encodeFrame(Bye));
        Frame frame;
        QString error;
        QCOMPARE(decoder.next(&frame, &error), FrameDecoder::Result::Frame);
        QCOMPARE(frame.type, quint8(Bye));

        // Before HELLO: a header announcing more than a HELLO is noise, and
        // a short one given up on lets the search go on past it.
        const QByteArray hello = encodeFrame(Hello, encodeHello({ 1, 3 }));
        FrameDecoder line(true);
        line.setNoiseAbove(4);
        line.feed(QByteArray("TV\x00\x00\x01\x00\x01", 7)
                  + QByteArray("TV\x00\x00\x00\x04\x01", 7));
        QCOMPARE(line.next(&frame, &error), FrameDecoder::Result::NeedMore);
        QCOMPARE(line.pendingFrameSize(), HeaderSize + 4 + TrailerSize);
        QVERIFY(line.skipPendingFrame());
        line.feed(hello);
        QCOMPARE(line.next(&frame, &error), FrameDecoder::Result::Frame);
        QCOMPARE(frame.payload, encodeHello({ 1, 3 }));
        QCOMPARE(line.pendingFrameSize(), 0);
    }

    void aFrameOnTheLineMustBeWholeInItsTime()
    {
        // At this speed a frame has about a second, however its bytes are
        // spread over it.
        FrameDeadline deadline(1000 * 1000);
        QSignalSpy expired(&deadline, &FrameDeadline::expired);
        const QByteArray bytes = encodeFrame(Data, QByteArray(100, 'x'));
        FrameDecoder decoder(true);
        Frame frame;
        QString error;
        decoder.feed(bytes.first(50));
        deadline.follow(decoder);
        QTest::qWait(300);
        decoder.feed(bytes.sliced(50));
        QCOMPARE(decoder.next(&frame, &error), FrameDecoder::Result::Frame);
        deadline.follow(decoder);
        QTest::qWait(900);
        QCOMPARE(expired.count(), 0);

        // The next one trickles in, each piece well within the second.
        QElapsedTimer clock;
        clock.start();
        for (qsizetype at = 0; at < 40; at += 10) {
            decoder.feed(bytes.sliced(at, 10));
            deadline.follow(decoder);
            QTest::qWait(300);
        }
        QCOMPARE(expired.count(), 1);
        QVERIFY(clock.elapsed() < 1900);
    }

    void whatIsQueuedMustBeTakenInTime_data()
    {
        QTest::addColumn<int>("bytesPerTick"); // what the peer takes every 20 ms; -1: all
        QTest::addColumn<bool>("expires");
        QTest::newRow("a peer that reads") << -1 << false;
        QTest::newRow("a peer that reads nothing") << 0 << true;
        QTest::newRow("a peer that takes a little now and then") << 2048 << true;
    }

    void whatIsQueuedMustBeTakenInTime()
    {
        QFETCH(int, bytesPerTick);
        QFETCH(bool, expires);
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QTcpSocket peer;
        qint64 received = 0;
        QTimer taking;
        if (bytesPerTick < 0) {
            QObject::connect(
                &peer, &QTcpSocket::readyRead, [&] { received += peer.readAll().size(); });
        } else {
            // What the peer does not read stays queued at the station, not
            // in buffers of the peer's.
            peer.setReadBufferSize(16 * 1024);
            QObject::connect(
                &taking, &QTimer::timeout, [&] { received += peer.read(bytesPerTick).size(); });
        }
        peer.connectToHost(QHostAddress::LocalHost, server.serverPort());
        QVERIFY(server.waitForNewConnection(5000));
        QTcpSocket *station = server.nextPendingConnection();
        station->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 64 * 1024);

        Wire wire(station);
        DrainDeadline deadline(&wire, 500);
        QSignalSpy expired(&deadline, &DrainDeadline::expired);
        const QByteArray queued(1024 * 1024, 'q');
        station->write(queued);
        deadline.arm();
        taking.start(20);
        QTest::qWait(1000);
        QCOMPARE(expired.count(), expires ? 1 : 0);
        QCOMPARE(received == queued.size(), !expires);
    }

    void payloadsMustBeExact()
    {
        QVERIFY(decodeHello(encodeHello({ 1, 3 })));
        QVERIFY(!decodeHello(QByteArray("\x00\x01\x00", 3)));
        QVERIFY(!decodeHello(encodeHello({ 1, 3 }) + 'x'));
        const FileHeader header { 12345678901ULL, QStringLiteral("S_HACH.dat") };
        QCOMPARE(decodeFileHeader(encodeFileHeader(header))->size, header.size);
        QCOMPARE(decodeFileHeader(encodeFileHeader(header))->name, header.name);
        // A name that is not UTF-8 is no name.
        QByteArray latin = encodeFileHeader({ 1, QStringLiteral("ab") });
        latin[latin.size() - 1] = char(0xE9);
        QVERIFY(!decodeFileHeader(latin));
        // A name length that runs past the payload.
        QByteArray shortName = encodeFileHeader({ 1, QStringLiteral("abc") });
        shortName.chop(1);
        QVERIFY(!decodeFileHeader(shortName));
        // A leading U+FEFF is part of the name as sent.
        const QString marked = QChar(0xFEFF) + QStringLiteral("S_HACH.dat");
        QCOMPARE(decodeFileHeader(encodeFileHeader({ 1, marked }))->name, marked);
    }

    void bareNames_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("order file") << QStringLiteral("S_HACH.dat") << true;
        QTest::newRow("japanese") << QStringLiteral("棚卸.dat") << true;
        QTest::newRow("64 chars") << QString(64, u'a') << true;
        QTest::newRow("65 chars") << QString(65, u'a') << false;
        QTest::newRow("empty") << QString() << false;
        QTest::newRow("parent") << QStringLiteral("..") << false;
        QTest::newRow("traversal") << QStringLiteral("../Tarvinex.ini") << false;
        QTest::newRow("dots inside") << QStringLiteral("a..b") << false;
        QTest::newRow("slash") << QStringLiteral("data/0003") << false;
        QTest::newRow("absolute") << QStringLiteral("/etc/passwd") << false;
        QTest::newRow("backslash") << QStringLiteral("..\\x") << false;
        QTest::newRow("hidden") << QStringLiteral(".incoming-abc.part") << false;
        QTest::newRow("newline") << QStringLiteral("a\nb") << false;
        QTest::newRow("nul") << QString(QStringLiteral("a") + QChar(0) + QStringLiteral("b"))
                             << false;
        QTest::newRow("del") << QStringLiteral("a\x7f") << false;
        QTest::newRow("bidi override") << QString(QStringLiteral("a") + QChar(0x202E)) << false;
        QTest::newRow("byte-order mark") << QString(QChar(0xFEFF) + QStringLiteral("a")) << false;
    }

    void bareNames()
    {
        QFETCH(QString, name);
        QFETCH(bool, accepted);
        QString why;
        QCOMPARE(isBareName(name, &why), accepted);
        QCOMPARE(why.isEmpty(), accepted);
    }

    void authAnswerDependsOnKeyNonceAndTerminal()
    {
        const QByteArray nonce(NonceSize, '\x5a');
        const QByteArray answer = authAnswer("secret", nonce, 3);
        QCOMPARE(answer.size(), MacSize);
        // HMAC-SHA256("secret", nonce | 00 03), as any other implementation computes it.
        QCOMPARE(answer.toHex(),
                 QMessageAuthenticationCode::hash(
                     nonce + QByteArray("\x00\x03", 2), "secret", QCryptographicHash::Sha256)
                     .toHex());
        QVERIFY(sameAnswer(answer, authAnswer("secret", nonce, 3)));
        QVERIFY(!sameAnswer(answer, authAnswer("secret", nonce, 4)));
        QVERIFY(!sameAnswer(answer, authAnswer("Secret", nonce, 3)));
        QVERIFY(!sameAnswer(answer, answer.left(31)));
    }
};

QTEST_GUILESS_MAIN(TestLinkFrame)
#include "tst_linkframe.moc"
