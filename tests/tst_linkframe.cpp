#include "link/Crc32.h"
#include "link/DrainDeadline.h"
#include "link/FrameDeadline.h"
#include "link/LinkFrame.h"
#include "link/LinkKey.h"
#include "link/LinkProtocol.h"
#include "link/Wire.h"
#include "tls/TerminalConnection.h"
#include "tls/TlsPsk.h"
#include "tls/TlsWire.h"

#include <QElapsedTimer>
#include <QMessageAuthenticationCode>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace Link;

namespace {

const QByteArray TestKey("ABCD-EFGH-IJKL-MNOP-QRST-UVWX-YZ23-4567");

// Hands out the station's end of each connection: with tls, inside TLS
// answering with TestKey, as the station's control does.
class Listener : public QTcpServer
{
public:
    explicit Listener(bool tls)
        : m_tls(tls)
    { }

protected:
    void incomingConnection(qintptr descriptor) override
    {
        if (!m_tls) {
            QTcpServer::incomingConnection(descriptor);
            return;
        }
        auto *socket = new QSslSocket(this);
        socket->setSocketDescriptor(descriptor);
        Tls::answerAsStation(socket, [](const QByteArray &) { return presharedKey(TestKey); });
        socket->startServerEncryption();
        addPendingConnection(socket);
    }

private:
    bool m_tls;
};

} // namespace

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
        QTest::addColumn<bool>("tls");
        QTest::addColumn<int>("bytesPerTick"); // what the peer takes every 20 ms; -1: all
        QTest::addColumn<bool>("expires");
        QTest::newRow("a peer that reads") << false << -1 << false;
        QTest::newRow("a peer that reads nothing") << false << 0 << true;
        QTest::newRow("a peer that takes a little now and then") << false << 2048 << true;
        // TLS reports plain bytes written once they are encrypted, whether
        // the peer takes the records or not.
        QTest::newRow("a TLS peer that reads") << true << -1 << false;
        QTest::newRow("a TLS peer that reads nothing") << true << 0 << true;
    }

    void whatIsQueuedMustBeTakenInTime()
    {
        QFETCH(bool, tls);
        QFETCH(int, bytesPerTick);
        QFETCH(bool, expires);
        Listener server(tls);
        QVERIFY(server.listen(QHostAddress::LocalHost));
        Tls::TerminalConnection connection(3, tls ? TestKey : QByteArray());
        QTcpSocket &peer = *connection.socket();
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
        QSignalSpy ready(&connection, &Tls::TerminalConnection::ready);
        connection.open(QStringLiteral("127.0.0.1"), server.serverPort());
        QVERIFY(server.waitForNewConnection(5000));
        QTcpSocket *station = server.nextPendingConnection();
        QTRY_COMPARE_WITH_TIMEOUT(ready.count(), 1, 5000);
        station->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 64 * 1024);

        const std::unique_ptr<Wire> wire = tls
            ? std::make_unique<Tls::TlsWire>(static_cast<QSslSocket *>(station))
            : std::make_unique<Wire>(station);
        DrainDeadline deadline(wire.get(), 500);
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

    void hkdfAsRfc5869_data()
    {
        QTest::addColumn<QByteArray>("inputKey");
        QTest::addColumn<QByteArray>("salt");
        QTest::addColumn<QByteArray>("info");
        QTest::addColumn<QByteArray>("output");
        const auto run = [](int from, int to) {
            QByteArray bytes;
            for (int b = from; b <= to; ++b)
                bytes.append(char(b));
            return bytes;
        };
        QTest::newRow("A.1 basic")
            << QByteArray(22, '\x0b') << run(0x00, 0x0c) << run(0xf0, 0xf9)
            << QByteArray("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db0"
                          "2d56ecc4c5bf34007208d5b887185865");
        QTest::newRow("A.2 longer inputs")
            << run(0x00, 0x4f) << run(0x60, 0xaf) << run(0xb0, 0xff)
            << QByteArray("b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99"
                          "cac7827271cb41c65e590e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87"
                          "c14c01d5c1f3434f1d87");
        QTest::newRow("A.3 no salt, no info")
            << QByteArray(22, '\x0b') << QByteArray() << QByteArray()
            << QByteArray("8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395"
                          "faa4b61a96c8");
    }

    void hkdfAsRfc5869()
    {
        QFETCH(QByteArray, inputKey);
        QFETCH(QByteArray, salt);
        QFETCH(QByteArray, info);
        QFETCH(QByteArray, output);
        const QByteArray expected = QByteArray::fromHex(output);
        QCOMPARE(hkdfSha256(inputKey, salt, info, int(expected.size())).toHex(), output);
        // A shorter output is the longer one's start.
        QCOMPARE(hkdfSha256(inputKey, salt, info, 5), expected.first(5));
    }

    void canonicalKeys_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("canonical");
        const QByteArray generated("ABCDEFGHIJKLMNOPQRSTUVWXYZ234567");
        QTest::newRow("as generated")
            << QByteArray("ABCD-EFGH-IJKL-MNOP-QRST-UVWX-YZ23-4567") << generated;
        QTest::newRow("lower case, no dashes")
            << QByteArray("abcdefghijklmnopqrstuvwxyz234567") << generated;
        QTest::newRow("spaced and mixed")
            << QByteArray(" abcd EFGH-ijkl MnOp qrst-uvwx yz23 4567 ") << generated;
        QTest::newRow("hand-set") << QByteArray("shop-key ü") << QByteArray("shop-key ü");
        QTest::newRow("31 base32 chars") << QByteArray("abcd-efgh-ijkl-mnop-qrst-uvwx-yz23-456")
                                         << QByteArray("abcd-efgh-ijkl-mnop-qrst-uvwx-yz23-456");
        QTest::newRow("33 base32 chars") << QByteArray("ABCD-EFGH-IJKL-MNOP-QRST-UVWX-YZ23-4567A")
                                         << QByteArray("ABCD-EFGH-IJKL-MNOP-QRST-UVWX-YZ23-4567A");
        QTest::newRow("32 chars, not all base32")
            << QByteArray("abcd-efgh-ijkl-mnop-qrst-uvwx-yz01-8967")
            << QByteArray("abcd-efgh-ijkl-mnop-qrst-uvwx-yz01-8967");
        QTest::newRow("tab is no separator")
            << QByteArray("ABCD\tEFGH-IJKL-MNOP-QRST-UVWX-YZ23-4567")
            << QByteArray("ABCD\tEFGH-IJKL-MNOP-QRST-UVWX-YZ23-4567");
    }

    void canonicalKeys()
    {
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, canonical);
        QCOMPARE(canonicalKey(key), canonical);
        QCOMPARE(presharedKey(key), presharedKey(canonical));
    }

    // The document's test vectors, computed with another implementation of
    // HMAC and base32: a terminal's developer checks theirs against them.
    void derivedFromKey_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("psk");
        QTest::addColumn<QByteArray>("identity"); // of terminal 3
        const QByteArray generatedPsk(
            "e8b5cf808c5a6281979a924c3ff81a6a8289a94fcb4cd6157116110b255af46d");
        QTest::newRow("generated") << QByteArray("ABCD-EFGH-IJKL-MNOP-QRST-UVWX-YZ23-4567")
                                   << generatedPsk << QByteArray("3:RW5QMEJG");
        QTest::newRow("generated, typed") << QByteArray("abcdefghijklmnopqrstuvwxyz234567")
                                          << generatedPsk << QByteArray("3:RW5QMEJG");
        QTest::newRow("hand-set")
            << QByteArray("shop-key ü")
            << QByteArray("c947001c7af3adb6483632267759256c6be1721f76e601e6141baa159c602a6e")
            << QByteArray("3:FRKE24ZS");
    }

    void derivedFromKey()
    {
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, psk);
        QFETCH(QByteArray, identity);
        QCOMPARE(presharedKey(key).toHex(), psk);
        QCOMPARE(pskIdentity(3, key), identity);
        const std::optional<PskIdentity> parsed = parsePskIdentity(identity);
        QVERIFY(parsed);
        QCOMPARE(parsed->terminal, 3);
        QCOMPARE(parsed->keyId, keyId(key));
    }

    void pskIdentities_data()
    {
        QTest::addColumn<QByteArray>("identity");
        QTest::addColumn<int>("terminal"); // 0: refused
        QTest::newRow("terminal 3") << QByteArray("3:ABCDEFGH") << 3;
        QTest::newRow("terminal 9999") << QByteArray("9999:Z2345677") << 9999;
        QTest::newRow("terminal 0") << QByteArray("0:ABCDEFGH") << 0;
        QTest::newRow("leading zero") << QByteArray("03:ABCDEFGH") << 0;
        QTest::newRow("terminal 10000") << QByteArray("10000:ABCDEFGH") << 0;
        QTest::newRow("no terminal") << QByteArray(":ABCDEFGH") << 0;
        QTest::newRow("signed") << QByteArray("+3:ABCDEFGH") << 0;
        QTest::newRow("no colon") << QByteArray("3ABCDEFGH") << 0;
        QTest::newRow("id of 7") << QByteArray("3:ABCDEFG") << 0;
        QTest::newRow("id of 9") << QByteArray("3:ABCDEFGHI") << 0;
        QTest::newRow("lower case id") << QByteArray("3:abcdefgh") << 0;
        QTest::newRow("not base32") << QByteArray("3:ABCDEFG1") << 0;
        QTest::newRow("second colon") << QByteArray("3:ABCD:EFG") << 0;
        QTest::newRow("empty") << QByteArray() << 0;
    }

    void pskIdentities()
    {
        QFETCH(QByteArray, identity);
        QFETCH(int, terminal);
        const std::optional<PskIdentity> parsed = parsePskIdentity(identity);
        QCOMPARE(parsed.has_value(), terminal != 0);
        if (parsed) {
            QCOMPARE(parsed->terminal, terminal);
            QCOMPARE(parsed->keyId, identity.mid(identity.indexOf(':') + 1));
        }
    }

    void generatedKeys()
    {
        const QRegularExpression shape(QStringLiteral("^([A-Z2-7]{4}-){7}[A-Z2-7]{4}$"));
        QList<QByteArray> keys;
        for (int i = 0; i < 40; ++i) {
            const QByteArray key = generateKey();
            QVERIFY2(shape.match(QString::fromLatin1(key)).hasMatch(), key.constData());
            QCOMPARE(canonicalKey(key), QByteArray(key).replace('-', ""));
            QVERIFY(!keys.contains(key));
            keys.append(key);
        }
        // Every character is drawn: none stays the same from key to key.
        for (int at = 0; at < keys.first().size(); ++at) {
            if (at % 5 == 4)
                continue;
            QVERIFY2(
                std::any_of(keys.begin(),
                            keys.end(),
                            [&](const QByteArray &key) { return key[at] != keys.first()[at]; }),
                qPrintable(QStringLiteral("position %1").arg(at)));
        }
    }
};

QTEST_GUILESS_MAIN(TestLinkFrame)
#include "tst_linkframe.moc"
