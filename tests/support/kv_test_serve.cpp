// Serves a directory with nginx on 127.0.0.1 and answers banner requests
// over UDP, for scripts that need a file server and a banner server without
// a test program around them. Runs until SIGTERM, SIGINT or SIGHUP, or until
// the process that started it ends.
//
//   kv_test_serve --root DIR [--http-port N] [--banner-reply TEXT]
//                 [--banner-host ADDRESS] [--banner-port N] [--ready-file FILE]
//
// Ports default to free ones, the banner address to 127.0.0.1. When both
// servers listen, it prints
//   KV_HTTP_PORT=<port>
//   KV_HTTP_URL=http://127.0.0.1:<port>/
//   KV_BANNER_PORT=<port>        (only with --banner-reply)
// on standard output and, with --ready-file, writes the same lines to FILE
// (in one step, so a script that sees the file can source it).
#include "testbannerresponder.h"
#include "testnginx.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QSaveFile>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char byte = 1;
    // Nothing to do when the pipe is full: a stop is already pending.
    [[maybe_unused]] const ssize_t written = write(signalPipe[1], &byte, 1);
}

bool watchSignals()
{
    if (pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        if (sigaction(sig, &action, nullptr) != 0)
            return false;
    }
    return true;
}

bool parsePort(const QString& text, quint16* port)
{
    bool ok = false;
    const uint value = text.toUInt(&ok);
    if (!ok || value > 65535)
        return false;
    *port = quint16(value);
    return true;
}

int fail(const QString& message)
{
    fprintf(stderr, "kv_test_serve: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    // A script or test that is killed cannot stop its servers; they would
    // hold their ports for every later run. One that ended before the signal
    // was asked for has handed this process to another parent already.
    const pid_t parent = getppid();
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != parent)
        return 1;

    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Serves a directory with nginx on 127.0.0.1 and answers banner requests."));
    parser.addHelpOption();
    const QCommandLineOption rootOption(
        QStringLiteral("root"), QStringLiteral("Directory to serve."), QStringLiteral("DIR"));
    const QCommandLineOption httpPortOption(QStringLiteral("http-port"),
        QStringLiteral("HTTP port (default: a free one)."), QStringLiteral("N"),
        QStringLiteral("0"));
    const QCommandLineOption replyOption(QStringLiteral("banner-reply"),
        QStringLiteral("Answer banner requests with TEXT."), QStringLiteral("TEXT"));
    const QCommandLineOption bannerHostOption(QStringLiteral("banner-host"),
        QStringLiteral("Loopback address for banner requests (default: 127.0.0.1)."),
        QStringLiteral("ADDRESS"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption bannerPortOption(QStringLiteral("banner-port"),
        QStringLiteral("UDP port for banner requests (default: a free one)."), QStringLiteral("N"),
        QStringLiteral("0"));
    const QCommandLineOption readyOption(QStringLiteral("ready-file"),
        QStringLiteral("Write the ports to FILE once both servers listen."),
        QStringLiteral("FILE"));
    parser.addOptions(
        {rootOption, httpPortOption, replyOption, bannerHostOption, bannerPortOption, readyOption});
    parser.process(app);

    if (!parser.isSet(rootOption))
        return fail(QStringLiteral("--root DIR is required"));
    quint16 httpPort = 0;
    quint16 bannerPort = 0;
    if (!parsePort(parser.value(httpPortOption), &httpPort))
        return fail(QStringLiteral("--http-port wants a number from 0 to 65535"));
    if (!parsePort(parser.value(bannerPortOption), &bannerPort))
        return fail(QStringLiteral("--banner-port wants a number from 0 to 65535"));
    const QHostAddress bannerHost(parser.value(bannerHostOption));
    if (!bannerHost.isLoopback())
        return fail(QStringLiteral("--banner-host wants a loopback address"));
    if (!watchSignals())
        return fail(QStringLiteral("cannot watch for signals"));

    TestNginx nginx;
    if (!nginx.start(parser.value(rootOption), httpPort))
        return fail(nginx.errorString());

    QByteArray ready = "KV_HTTP_PORT=" + QByteArray::number(nginx.port())
        + "\nKV_HTTP_URL=" + nginx.url().toUtf8() + '\n';
    TestBannerResponder banner;
    if (parser.isSet(replyOption)) {
        banner.setReply(parser.value(replyOption).toUtf8());
        if (!banner.listen(bannerPort, bannerHost))
            return fail(QStringLiteral("cannot listen for banner requests on %1:%2")
                            .arg(bannerHost.toString())
                            .arg(bannerPort));
        ready += "KV_BANNER_PORT=" + QByteArray::number(banner.port()) + '\n';
    }

    if (parser.isSet(readyOption)) {
        QSaveFile file(parser.value(readyOption));
        if (!file.open(QIODevice::WriteOnly) || file.write(ready) != ready.size() || !file.commit())
            return fail(
                QStringLiteral("cannot write %1: %2").arg(file.fileName(), file.errorString()));
    }
    fwrite(ready.constData(), 1, size_t(ready.size()), stdout);
    fflush(stdout);

    QSocketNotifier stopper(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopper, &QSocketNotifier::activated, &app, &QCoreApplication::quit);
    app.exec();
    nginx.stop();
    return 0;
}
