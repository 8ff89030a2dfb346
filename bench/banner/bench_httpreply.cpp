// What reading the banner image's reply costs the window's thread, per byte,
// against sha512sum reading the same bytes (a whole process, measured in the
// same run): the costliest reply a banner server can send within the header
// bound (the shortest interim replies, 13 bytes each, up to 64 KiB, then a
// final one), 64 KiB of header lines, and the sample banner as a plain and
// as a chunked reply. Each reply is read as it arrives whole, in TCP
// segments and a byte at a time; the figure is the ratio of the parser's
// time per byte to sha512sum's.
//
//   bench_httpreply [rounds]
#include "bannerbench.h"
#include "httpreplyparser.h"
#include "updateengine.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

// The bytes of each case are read this many times over per round, and
// sha512sum reads a file of as many copies.
constexpr qint64 kBytesPerRound = 32 * 1024 * 1024;

bool readReply(const QByteArray& reply, int piece)
{
    HttpReplyParser parser(UpdateEngine::kMaxBannerSize);
    for (int at = 0; at < reply.size(); at += piece)
        parser.feed(
            QByteArray::fromRawData(reply.constData() + at, std::min(piece, reply.size() - at)));
    return parser.end() == HttpReplyParser::State::Done;
}

QByteArray chunked(const QByteArray& body, int chunk)
{
    QByteArray out;
    for (int at = 0; at < body.size(); at += chunk) {
        const QByteArray piece = body.mid(at, chunk);
        out += QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
    }
    return out + "0\r\n\r\n";
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const int rounds = roundsArgument(argc, argv);
    QTemporaryDir dir;
    const QByteArray banner = readSampleBanner(dir);
    if (banner.isEmpty())
        return 1;
    const int bound = HttpReplyParser::kMaxHeaderSize;
    const QByteArray ok = "HTTP/1.1 200 OK\r\n";
    const QByteArray interim = "HTTP/1. 100\n\n";
    const QByteArray serverHeaders = "Server: nginx\r\nDate: Tue, 08 Dec 2026 02:00:00 GMT\r\n"
                                     "Content-Type: image/jpeg\r\nConnection: close\r\n";
    struct Case
    {
        const char* name;
        QByteArray reply;
    };
    const std::vector<Case> cases = {
        {"interim replies to the bound",
            interim.repeated((bound - ok.size() - 2) / interim.size()) + ok + "\r\n"},
        {"header lines to the bound",
            ok + QByteArray("X-A: " + QByteArray(1000, 'a') + "\r\n").repeated(bound / 1007 - 1)
                + "\r\n"},
        {"sample banner, length",
            ok + serverHeaders + "Content-Length: " + QByteArray::number(banner.size()) + "\r\n\r\n"
                + banner},
        {"sample banner, 4 KiB chunks",
            ok + serverHeaders + "Transfer-Encoding: chunked\r\n\r\n" + chunked(banner, 4096)},
    };

    std::printf(
        "banner reply reading, median of %d, ns per byte vs sha512sum (whole process)\n", rounds);
    std::printf("%-30s %8s %14s %10s %10s %10s %8s\n", "reply", "bytes", "sha512sum", "whole",
        "segments", "bytewise", "ratio");
    for (const Case& c : cases) {
        if (!readReply(c.reply, c.reply.size())) {
            std::fprintf(stderr, "%s: not read\n", c.name);
            return 1;
        }
        const qint64 copies = std::max<qint64>(1, kBytesPerRound / c.reply.size());
        const double bytes = double(copies) * c.reply.size();
        const QString path = dir.filePath(QStringLiteral("reply"));
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(c.reply.repeated(int(copies))) < 0)
            return 1;
        file.close();
        const double reference = medianNs(rounds, [&] {
            QProcess process;
            process.setStandardOutputFile(QProcess::nullDevice());
            process.start(QStringLiteral("sha512sum"), {path});
            return process.waitForFinished(-1) && process.exitCode() == 0;
        }) / bytes;
        auto parse = [&](int piece) {
            return medianNs(rounds, [&] {
                for (qint64 i = 0; i < copies; ++i) {
                    if (!readReply(c.reply, piece))
                        return false;
                }
                return true;
            }) / bytes;
        };
        const double whole = parse(c.reply.size());
        const double segments = parse(1460);
        const double bytewise = parse(1);
        std::printf("%-30s %8d %14.2f %10.2f %10.2f %10.2f %8.2f\n", c.name, int(c.reply.size()),
            reference, whole, segments, bytewise, segments / reference);
    }
    std::printf("ratio: the parser in TCP segments over sha512sum, per byte\n");
    return 0;
}
