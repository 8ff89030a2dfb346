#include "banner.h"
#include "httpreplyparser.h"
#include "imageheader.h"
#include "testbannerresponder.h"
#include "testgif.h"
#include "testjpeg.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QSignalSpy>
#include <QUdpSocket>
#include <QtTest>

#include "enginetesthelpers.h"

namespace {

// A one-colour picture encoded as format, with a comment that PNG keeps as
// plain text when short and Latin-1, else compressed or international text.
QByteArray picture(
    int width, int height, const char* format = "PNG", const QString& comment = QString())
{
    QImage image(width, height, QImage::Format_Mono);
    image.fill(0);
    if (!comment.isEmpty())
        image.setText(QStringLiteral("Comment"), comment);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return bytes;
}

QByteArray png(int width, int height)
{
    return picture(width, height);
}

QByteArray littleEndian(quint32 value, int size)
{
    QByteArray bytes;
    for (int i = 0; i < size; ++i)
        bytes += char(value >> (8 * i) & 0xff);
    return bytes;
}

// A GIF with a logical screen and one frame of the sizes given, a colour
// table of two entries, and pixels that are only a clear code and the end
// code: the decoder allocates its picture before it reads them.
QByteArray gif(int screenWidth, int screenHeight, int left, int top, int width, int height,
    const QByteArray& extensions = QByteArray())
{
    return "GIF89a" + littleEndian(screenWidth, 2) + littleEndian(screenHeight, 2)
        + QByteArray("\x80\0\0\0\0\0\xff\xff\xff", 9) + extensions + ',' + littleEndian(left, 2)
        + littleEndian(top, 2) + littleEndian(width, 2) + littleEndian(height, 2)
        + QByteArray("\0\x02\x01\x2c\0;", 6);
}

// An icon whose one directory entry says 16x16 and holds image.
QByteArray icon(const QByteArray& image)
{
    return QByteArray("\0\0\x01\0\x01\0\x10\x10\0\0\x01\0\x20\0", 14)
        + littleEndian(image.size(), 4) + littleEndian(22, 4) + image;
}

// Counts the characters of every message logged while it lives, and passes
// none of them on.
class LoggedBytes
{
public:
    LoggedBytes()
    {
        s_bytes = 0;
        m_previous = qInstallMessageHandler(&LoggedBytes::count);
    }
    ~LoggedBytes() { qInstallMessageHandler(m_previous); }
    qint64 bytes() const { return s_bytes; }

private:
    static void count(QtMsgType, const QMessageLogContext&, const QString& text)
    {
        s_bytes += text.size() + 1;
    }

    static qint64 s_bytes;
    QtMessageHandler m_previous;
};

qint64 LoggedBytes::s_bytes = 0;

} // namespace

class TestBanner : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<TestBannerResponder> m_Responder;

private slots:
    void init()
    {
        m_Responder = std::make_unique<TestBannerResponder>();
        QVERIFY(m_Responder->listen());
        bannerServerHost = QStringLiteral("127.0.0.1");
        bannerServerPort = m_Responder->port();
    }

    void cleanup() { m_Responder.reset(); }

    // The first datagram from the server is the answer: the attempt ends
    // with it, and its port is closed, so that a server sending again and
    // again costs nothing.
    void reply_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QStringList>("emitted");
        QTest::newRow("two parts") << QByteArray("a,b") << QStringList {"a", "b"};
        QTest::newRow("single comma") << QByteArray(",") << QStringList {"", ""};
        QTest::newRow("no comma") << QByteArray("ab") << QStringList();
        QTest::newRow("two commas") << QByteArray("a,b,c") << QStringList();
        QTest::newRow("empty") << QByteArray() << QStringList();
        QTest::newRow("latin-1") << QByteArray("\xe9,\xfc") << QStringList {"\u00e9", "\u00fc"};
        QByteArray longReply = "img," + QByteArray(3000, 'x');
        QTest::newRow("cut at 1024")
            << longReply << QStringList {"img", QString(1024 - 4, QLatin1Char('x'))};
    }

    void reply()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QStringList, emitted);
        m_Responder->setSilent(true);
        Banner banner(nullptr);
        QSignalSpy spy(&banner, &Banner::bannerFound);
        QSignalSpy ended(&banner, &Banner::finished);
        banner.run();
        QTRY_COMPARE_WITH_TIMEOUT(m_Responder->requestCount(), 1, 30000);
        QCOMPARE(m_Responder->datagrams(), QList<QByteArray> {TestBannerResponder::requestBytes()});
        const quint16 port = banner.localPort();
        QVERIFY(port != 0);
        m_Responder->send(reply, QHostAddress::LocalHost, port);
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 30000);
        QCOMPARE(spy.count(), emitted.isEmpty() ? 0 : 1);
        if (!emitted.isEmpty()) {
            QCOMPARE(spy.at(0).at(0).toString(), emitted.at(0));
            QCOMPARE(spy.at(0).at(1).toString(), emitted.at(1));
        }
        // The port is free again: nothing holds it to read later replies.
        QUdpSocket probe;
        QVERIFY(probe.bind(QHostAddress::LocalHost, port, QAbstractSocket::DontShareAddress));
    }

    // The format names the decoder to use; empty: refused.
    void bannerSize_data()
    {
        QTest::addColumn<QByteArray>("image");
        QTest::addColumn<QByteArray>("format");
        QTest::newRow("banner") << png(468, 60) << QByteArray("png");
        QTest::newRow("4096 wide") << png(4096, 1) << QByteArray("png");
        QTest::newRow("4097 wide") << png(4097, 1) << QByteArray();
        QTest::newRow("4097 high") << png(1, 4097) << QByteArray();
        QTest::newRow("4 megapixels") << png(2048, 2048) << QByteArray("png");
        QTest::newRow("beyond 4 megapixels") << png(2049, 2048) << QByteArray();
        QTest::newRow("30000x30000 header only")
            << QByteArray("P5 30000 30000 255\n") << QByteArray();
        QTest::newRow("not a picture") << QByteArray("<html></html>") << QByteArray();
        QTest::newRow("png cut in its header") << png(468, 60).left(20) << QByteArray();
        QTest::newRow("png with plain international text")
            << picture(468, 60, "PNG", QString(3, QChar(0x263a))) << QByteArray("png");
        QTest::newRow("png with compressed text")
            << picture(468, 60, "PNG", QString(60, QLatin1Char('a'))) << QByteArray();
        QTest::newRow("png with compressed international text")
            << picture(468, 60, "PNG", QString(60, QChar(0x263a))) << QByteArray();
        // The decoder allocates a text chunk's buffer at the length it states.
        QTest::newRow("png with text longer than its bytes")
            << png(468, 60).left(33) + QByteArray("\x7f\xff\xff\xfftEXtComment\0a", 17)
            << QByteArray();
        QTest::newRow("png with international text a byte longer than its bytes")
            << png(468, 60).left(33) + QByteArray("\0\0\0\x0aiTXtComment\0\0", 17) << QByteArray();
        const QByteArray jpeg = picture(468, 60, "JPEG");
        QByteArray progressive;
        QBuffer progressiveBuffer(&progressive);
        QImageWriter writer(&progressiveBuffer, "jpeg");
        writer.setProgressiveScanWrite(true);
        QImage colours(468, 60, QImage::Format_RGB32);
        colours.fill(Qt::darkCyan);
        QVERIFY(writer.write(colours));
        QTest::newRow("jpeg banner") << jpeg << QByteArray("jpeg");
        QTest::newRow("jpeg 4097 wide") << picture(4097, 1, "JPEG") << QByteArray();
        QTest::newRow("jpeg cut in its frame header")
            << jpeg.left(jpeg.indexOf("\xff\xc0") + 6) << QByteArray();
        QTest::newRow("jpeg segment longer than the data")
            << QByteArray("\xff\xd8\xff\xe0\xff\xff\xff\xc0\0\x11\x08\0\x3c\x01\xd4", 15)
            << QByteArray();
        QTest::newRow("jpeg scan before a frame")
            << QByteArray("\xff\xd8\xff\xda\0\x08\x01\x01\0\0\x3f\0", 12) << QByteArray();
        // Each scan is a pass of the decoder over the whole picture: a few
        // thousand of them in 270 kB took it half a minute.
        const int most = ImageHeader::kMaxJpegScans;
        QTest::newRow("jpeg with its tables before the frame")
            << blockSkippingJpeg(468, 60, 1) << QByteArray("jpeg");
        QTest::newRow("jpeg of as many scans as allowed")
            << blockSkippingJpeg(4096, 1024, most) << QByteArray("jpeg");
        QTest::newRow("jpeg of one scan more")
            << blockSkippingJpeg(4096, 1024, most + 1) << QByteArray();
        QTest::newRow("jpeg of 16000 scans")
            << blockSkippingJpeg(4096, 1024, 16000) << QByteArray();
        // A segment that states a length below 2: the decoder passes over its
        // two length bytes only and decodes every scan after it.
        const QByteArray emptyComment("\xff\xfe\0\0", 4);
        QTest::newRow("jpeg of 16000 scans, comment of length 0 first")
            << blockSkippingJpeg(4096, 1024, 16000, emptyComment) << QByteArray();
        QTest::newRow("jpeg of 16000 scans, comment of length 1 first") << blockSkippingJpeg(
            4096, 1024, 16000, QByteArray("\xff\xfe\0\x01", 4)) << QByteArray();
        QTest::newRow("jpeg of 16000 scans, comment of length 0 after the first")
            << blockSkippingJpeg(4096, 1024, 16000, emptyComment, 1) << QByteArray();
        QTest::newRow("jpeg of one scan more, application data of length 1 before the last")
            << blockSkippingJpeg(4096, 1024, most + 1, QByteArray("\xff\xe1\0\x01", 4), most)
            << QByteArray();
        QTest::newRow("jpeg of one scan, comment of length 0 first")
            << blockSkippingJpeg(468, 60, 1, emptyComment) << QByteArray();
        // Within a scan that has restarts, the decoder passes over a marker it
        // does not know and decodes on.
        QTest::newRow("jpeg of one scan more, unknown marker after the first") << blockSkippingJpeg(
            4096, 1024, most + 1, QByteArray("\xff\x49\xff\xff", 4), 1) << QByteArray();
        QTest::newRow("progressive jpeg as encoded") << progressive << QByteArray("jpeg");
        QTest::newRow("jpeg with a restart interval") << blockSkippingJpeg(468, 60, 1,
            QByteArray("\xff\xdd\0\x04\0\x08", 6)) << QByteArray("jpeg");
        // A second frame header stops the decoder; its size says nothing of
        // the first frame's, which the decoder has allocated by then.
        QTest::newRow("jpeg of 16000x16000, then a frame header of 468x60") << blockSkippingJpeg(
            16000, 16000, 1, QByteArray("\xff\xc0\0\x0b\x08\0\x3c\x01\xd4\x01\x01\x11\0", 13), 1)
                                                                            << QByteArray();
        QTest::newRow("gif banner") << gif(468, 60, 0, 0, 468, 60) << QByteArray("gif");
        QTest::newRow("gif screen beyond its frame")
            << gif(65535, 4000, 0, 0, 10, 10) << QByteArray();
        QTest::newRow("gif frame beyond its screen")
            << gif(468, 60, 4000, 0, 468, 60) << QByteArray();
        QTest::newRow("gif without a screen, frame far off")
            << gif(0, 0, 60000, 0, 10, 10) << QByteArray();
        QTest::newRow("gif frame below its screen")
            << gif(468, 60, 0, 4090, 468, 60) << QByteArray();
        // A graphic-control extension before the frame, as GIF89a files have.
        QTest::newRow("gif with a graphic-control extension") << gif(468, 60, 0, 0, 468, 60,
            QByteArray("\x21\xf9\x04\x01\x0a\0\0\0", 8)) << QByteArray("gif");
        // A reader makes every pixel of the first frame's codes, in the frame
        // or past it. Real pictures: every minimum code size, interlaced,
        // local colours, more frames (of which only the first is decoded).
        auto pixels = [](int width, int height, int colours) {
            QByteArray indices;
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x)
                    indices += char((x / 7 + y * 3) % colours);
            }
            return indices;
        };
        auto frame = [&](int size, bool interlaced = false, int localColours = 0) {
            return gifFrame(468, 60, size, lzwCodes(size, pixels(468, 60, qMin(256, 1 << size))),
                interlaced, localColours);
        };
        for (int size = 1; size <= 11; ++size)
            QTest::addRow("gif of minimum code size %d", size)
                << gifFile(468, 60, frame(size)) << QByteArray("gif");
        QTest::newRow("gif interlaced, with local colours")
            << gifFile(468, 60, frame(4, true, 16)) << QByteArray("gif");
        const QByteArray longStrings = gifFrame(1, 1, 2, longStringCodes(2, 100));
        QTest::newRow("gif of two frames, long strings in the second")
            << gifFile(468, 60, frame(8) + QByteArray("\x21\xf9\x04\0\x0a\0\0\0", 8) + longStrings)
            << QByteArray("gif");
        QTest::newRow("gif of long strings in a 1x1 frame")
            << gifFile(1, 1, longStrings) << QByteArray();
        QTest::newRow("gif of long strings in an interlaced 4096x1024 frame") << gifFile(4096, 1024,
            gifFrame(4096, 1024, 2, longStringCodes(2, 1000), true)) << QByteArray();
        // What one code adds past the frame is allowed: here one pixel each.
        auto literals = [](int count) {
            QVector<int> codes(count + 2, 0);
            codes.first() = 4;
            codes.last() = 5;
            return codes;
        };
        const int gifMost = 64 + int(ImageHeader::kGifCodes);
        QTest::newRow("gif of as many pixels as its frame and one string")
            << gifFile(64, 1, gifFrame(64, 1, 2, literals(gifMost))) << QByteArray("gif");
        QTest::newRow("gif of a pixel more")
            << gifFile(64, 1, gifFrame(64, 1, 2, literals(gifMost + 1))) << QByteArray();
        // Codes no encoder writes, whose strings the reader makes of stale
        // entries or loops.
        QTest::newRow("gif whose first code is no colour")
            << gifFile(2, 1, gifFrame(2, 1, 2, {4, 6, 5})) << QByteArray();
        QTest::newRow("gif with a code past the next entry")
            << gifFile(2, 1, gifFrame(2, 1, 2, {4, 0, 7, 5})) << QByteArray();
        // The reader takes the first block of a graphic-control or an
        // application extension by its length, 0 too: the comma after it is
        // a block of 44 bytes to the reader, where a walk that ended the
        // extension at the 0 finds a 1x1 frame. The reader's first frame is
        // the one after.
        const QByteArray decoy
            = QByteArray(",\0\0\0\0\x01\0\x01\0\0\x02\x21\x2c", 13) + QByteArray(33, '\0');
        QTest::newRow("gif of long strings behind an empty graphic-control block")
            << gifFile(1, 1, QByteArray("\x21\xf9\0", 3) + decoy + longStrings) << QByteArray();
        QTest::newRow("gif of long strings behind an empty application block")
            << gifFile(1, 1, QByteArray("\x21\xff\0", 3) + decoy + longStrings) << QByteArray();
        // The reader makes the pixels of a block cut short too.
        QTest::newRow("gif of long strings cut at 1000 bytes")
            << gifFile(1, 1, longStrings).left(1000) << QByteArray();
        QTest::newRow("gif cut in its screen")
            << gif(468, 60, 0, 0, 468, 60).left(9) << QByteArray();
        QTest::newRow("gif cut before its frame")
            << gif(468, 60, 0, 0, 468, 60).left(19) << QByteArray();
        QTest::newRow("icon holding a png") << icon(png(16, 16)) << QByteArray();
    }

    void bannerSize()
    {
        QFETCH(QByteArray, image);
        QFETCH(QByteArray, format);
        QByteArray decoder;
        QCOMPARE(Banner::hasBannerSize(image, &decoder), !format.isEmpty());
        QCOMPARE(decoder, format);
        // The GIFs built here are pictures the window shows.
        if (format == "gif")
            QVERIFY(!QImage::fromData(image, format).isNull());
    }

    // The banner image's reply, read whole and byte by byte alike: the body,
    // or empty when it fails. Bounds hold whatever the server claims.
    void imageReply_data()
    {
        QTest::addColumn<QByteArray>("reply");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<bool>("read");
        const QByteArray ok = "HTTP/1.1 200 OK\r\n";
        QTest::newRow("length") << ok + "Content-Length: 3\r\n\r\nabcdef" << QByteArray("abc")
                                << true;
        QTest::newRow("to the end") << ok + "\r\nabc" << QByteArray("abc") << true;
        QTest::newRow("cut short")
            << ok + "Content-Length: 9\r\n\r\nabc" << QByteArray("abc") << true;
        QTest::newRow("line feeds only")
            << QByteArray("HTTP/1.0 404 Gone\nContent-Length: 1\n\nx") << QByteArray("x") << true;
        QTest::newRow("interim reply first")
            << "HTTP/1.1 100 Continue\r\n\r\n" + ok + "Content-Length: 1\r\n\r\ny"
            << QByteArray("y") << true;
        QTest::newRow("no content")
            << QByteArray("HTTP/1.1 204 No Content\r\n\r\nzzz") << QByteArray() << true;
        QTest::newRow("chunked") << ok
                + "Transfer-Encoding: Chunked\r\n\r\n2;x=y\r\nab\r\nA\r\n0123456789\r\n0\r\n"
                  "T: 1\r\n\r\n" << QByteArray("ab0123456789")
                                 << true;
        QTest::newRow("largest") << ok + "\r\n" + QByteArray(100, 'b') << QByteArray(100, 'b')
                                 << true;
        QTest::newRow("one byte more")
            << ok + "\r\n" + QByteArray(101, 'b') << QByteArray() << false;
        QTest::newRow("announced too large") << ok + "Content-Length: 101\r\n\r\n"
                                             << QByteArray() << false;
        QTest::newRow("chunk too large") << ok + "Transfer-Encoding: chunked\r\n\r\n65\r\n"
                                         << QByteArray() << false;
        QTest::newRow("chunk not ended")
            << ok + "Transfer-Encoding: chunked\r\n\r\n1\r\nab\r\n0\r\n\r\n"
            << QByteArray() << false;
        QTest::newRow("chunk size line without end")
            << ok + "Transfer-Encoding: chunked\r\n\r\n" + QByteArray(2000, '0') << QByteArray()
            << false;
        QTest::newRow("header without end")
            << ok + QByteArray("X-A: a\r\n").repeated(HttpReplyParser::kMaxHeaderSize / 8)
            << QByteArray() << false;
        // The bound counts every byte up to the blank line's last, and the
        // status lines and headers of interim replies with the final one's.
        const int bound = HttpReplyParser::kMaxHeaderSize;
        const QByteArray blank = "\r\n";
        auto padded = [&](int size) {
            return ok + "X: " + QByteArray(size - ok.size() - 3 - 2 - blank.size(), 'a') + "\r\n";
        };
        QTest::newRow("header of the bound")
            << padded(bound) + blank + "b" << QByteArray("b") << true;
        QTest::newRow("header a byte past the bound")
            << padded(bound + 1) + blank + "b" << QByteArray() << false;
        const QByteArray interim = "HTTP/1. 100\n\n";
        const int interims = (bound - ok.size() - blank.size()) / interim.size();
        QTest::newRow("interim replies within the bound")
            << interim.repeated(interims) + ok + blank + "b" << QByteArray("b") << true;
        QTest::newRow("interim replies past the bound")
            << interim.repeated(interims + 1) + ok + blank + "b" << QByteArray() << false;
        QTest::newRow("ended in the header") << ok + "X-A: a\r\n" << QByteArray() << false;
        QTest::newRow("not http") << QByteArray("SSH-2.0-x\r\n\r\n") << QByteArray() << false;
        QTest::newRow("content encoded")
            << ok + "Content-Encoding: gzip\r\n\r\nabc" << QByteArray() << false;
        QTest::newRow("transfer encoded") << ok + "Transfer-Encoding: gzip, chunked\r\n\r\n"
                                          << QByteArray() << false;
        QTest::newRow("two lengths")
            << ok + "Content-Length: 1\r\nContent-Length: 2\r\n\r\nab" << QByteArray() << false;
        QTest::newRow("signed length")
            << ok + "Content-Length: +1\r\n\r\na" << QByteArray() << false;
    }

    void imageReply()
    {
        QFETCH(QByteArray, reply);
        QFETCH(QByteArray, body);
        QFETCH(bool, read);
        const auto expected = read ? HttpReplyParser::State::Done : HttpReplyParser::State::Failed;
        HttpReplyParser whole(100);
        whole.feed(reply);
        QCOMPARE(whole.end(), expected);
        QCOMPARE(whole.body(), body);
        HttpReplyParser pieces(100);
        for (char byte : reply)
            pieces.feed(QByteArray(1, byte));
        QCOMPARE(pieces.end(), expected);
        QCOMPARE(pieces.body(), body);
    }

    // A datagram from anywhere but the address and port asked is no reply,
    // and a flood of them is not read, let alone logged line by line. The
    // server is asked on 127.0.0.3; the stranger sends first.
    void replyOnlyFromServerAsked_data()
    {
        QTest::addColumn<QString>("strangerAddress");
        QTest::addColumn<bool>("serverPort");
        QTest::addColumn<int>("datagrams");
        QTest::newRow("another address, the server's port") << "127.0.0.9" << true << 1;
        QTest::newRow("the server's address, another port") << "127.0.0.3" << false << 1;
        QTest::newRow("a flood from another address") << "127.0.0.9" << false << 20000;
    }

    void replyOnlyFromServerAsked()
    {
        QFETCH(QString, strangerAddress);
        QFETCH(bool, serverPort);
        QFETCH(int, datagrams);
        m_Responder = std::make_unique<TestBannerResponder>();
        QVERIFY(m_Responder->listen(0, QHostAddress(QStringLiteral("127.0.0.3"))));
        m_Responder->setSilent(true);
        bannerServerHost = QStringLiteral("127.0.0.3");
        bannerServerPort = m_Responder->port();
        Banner banner(nullptr);
        QSignalSpy spy(&banner, &Banner::bannerFound);
        banner.run();
        QTRY_COMPARE_WITH_TIMEOUT(m_Responder->requestCount(), 1, 30000);
        QUdpSocket stranger;
        QVERIFY(stranger.bind(QHostAddress(strangerAddress), serverPort ? m_Responder->port() : 0));
        const LoggedBytes logged;
        const QByteArray datagram = "stranger,one" + QByteArray(1000, 'x');
        for (int sent = 0; sent < datagrams; ++sent) {
            stranger.writeDatagram(datagram, QHostAddress::LocalHost, banner.localPort());
            // The banner gets its turn to read, as it would in a real flood.
            if (sent % 50 == 0)
                QCoreApplication::processEvents();
        }
        m_Responder->send("server,one", QHostAddress::LocalHost, banner.localPort());
        QTRY_COMPARE_WITH_TIMEOUT(spy.count(), 1, 30000);
        QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("server"));
        QVERIFY2(logged.bytes() < 4096, qPrintable(QString::number(logged.bytes())));
    }

    // The second time-out ends the attempt, and the port is free again.
    void silentServerIsAskedTwice()
    {
        Banner banner(nullptr);
        QSignalSpy ended(&banner, &Banner::finished);
        banner.run();
        m_Responder->setSilent(true);
        QTRY_COMPARE_WITH_TIMEOUT(banner.retries(), 2, 3 * Banner::kReplyTimeoutMs);
        QCOMPARE(m_Responder->requestCount(), 2);
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 30000);
        QCOMPARE(banner.localPort(), quint16(0));
    }

    // Only IPv4 addresses are asked; a look-up that fails, or finds none,
    // ends the attempt without a word to anyone. The hosts need no name
    // server: an IPv6 literal, and no name at all.
    void noServerToAskEndsTheAttempt_data()
    {
        QTest::addColumn<QString>("host");
        QTest::newRow("IPv6 only") << "::1";
        QTest::newRow("failed look-up") << "";
    }

    void noServerToAskEndsTheAttempt()
    {
        QFETCH(QString, host);
        QUdpSocket listener;
        if (!listener.bind(QHostAddress(QHostAddress::LocalHostIPv6), 0) && !host.isEmpty())
            QSKIP("no IPv6 loopback here");
        bannerServerHost = host;
        bannerServerPort = host.isEmpty() ? m_Responder->port() : listener.localPort();
        Banner banner(nullptr);
        QSignalSpy ended(&banner, &Banner::finished);
        banner.run();
        QTRY_COMPARE_WITH_TIMEOUT(ended.count(), 1, 30000);
        QCoreApplication::processEvents();
        QVERIFY(!listener.hasPendingDatagrams());
        QCOMPARE(m_Responder->requestCount(), 0);
    }
};

QTEST_MAIN(TestBanner)
#include "tst_banner.moc"
