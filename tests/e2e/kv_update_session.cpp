// Runs one update session of the updater without a window, from the same
// command line, update.ini files and environment as the updater itself, so
// that end-to-end tests can run it as a child process (and kill it). Placed
// as "update" in an installation it plays the updater of both stages.
//
// Prints every engine message as "message: TEXT", errors as "error: TEXT".
// Exit status: 0 update finished, 3 failed or canceled, 2 fatal error of the
// engine, 1 configuration error.
//
// Test hooks, from the environment:
//   KV_E2E_ON=REGEX       a message to act on
//   KV_E2E_AFTER=N        act on its N-th occurrence (default 1)
//   KV_E2E_DO=kill|cancel SIGKILL itself, or cancel the update as a user would
//   KV_E2E_BANNER=HOST:PORT  only fetch the banner as the window does at start,
//                         from that banner server, print "banner: SIZE CLICK"
//                         and end (status 4 when none came within 15 s)
#include "banner.h"
#include "configuration.h"
#include "updateengine.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QTimer>

#include <csignal>
#include <cstdio>

#include <unistd.h>

namespace {

void printLine(const char* kind, const QString& text)
{
    std::printf("%s: %s\n", kind, text.toUtf8().constData());
    // A kill may follow at once; the test reads what came before it.
    std::fflush(stdout);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    Configuration config;
    QObject::connect(&config, &Configuration::fatalError, [](const QString& text) {
        printLine("fatal", text);
        std::_Exit(1);
    });
    if (!config.parseCommandLineOptions())
        return 1;

    UpdateEngine engine(&config, nullptr);
    if (qEnvironmentVariableIsSet("KV_E2E_BANNER")) {
        const QStringList server = qEnvironmentVariable("KV_E2E_BANNER").split(QLatin1Char(':'));
        bannerServerHost = server.value(0);
        bannerServerPort = quint16(server.value(1).toUInt());
        QObject::connect(&engine, &UpdateEngine::bannerFound,
            [&](const QByteArray& image, const QString& clickUrl) {
                printLine("banner", QString::number(image.size()) + QLatin1Char(' ') + clickUrl);
                app.exit(0);
            });
        QTimer::singleShot(15000, &app, [&]() { app.exit(4); });
        QTimer::singleShot(0, &engine, &UpdateEngine::getBanner);
        return app.exec();
    }
    const QRegularExpression trigger(qEnvironmentVariable("KV_E2E_ON"));
    const bool hooked = qEnvironmentVariableIsSet("KV_E2E_ON");
    int remaining = qEnvironmentVariableIsSet("KV_E2E_AFTER")
        ? qEnvironmentVariableIntValue("KV_E2E_AFTER")
        : 1;
    const QString action = qEnvironmentVariable("KV_E2E_DO");

    QObject::connect(&engine, &UpdateEngine::message, [&](const QString& text) {
        printLine("message", text);
        if (!hooked || remaining <= 0 || !trigger.match(text).hasMatch() || --remaining > 0)
            return;
        if (action == QLatin1String("kill")) {
            ::kill(::getpid(), SIGKILL);
        } else if (action == QLatin1String("cancel")) {
            printLine("test", QStringLiteral("cancel"));
            QTimer::singleShot(0, &engine, &UpdateEngine::cancelUpdate);
        }
    });
    QObject::connect(
        &engine, &UpdateEngine::error, [](const QString& text) { printLine("error", text); });
    QObject::connect(&engine, &UpdateEngine::fatalError, [&](const QString& text) {
        printLine("fatal", text);
        app.exit(2);
    });
    QObject::connect(&engine, &UpdateEngine::updateFinished, [&]() { app.exit(0); });
    QObject::connect(&engine, &UpdateEngine::updateCanceled, [&]() { app.exit(3); });

    auto start = [&]() {
        if (!engine.initialize()) {
            app.exit(2);
            return;
        }
        engine.startUpdate();
    };
    if (config.m_Ready)
        QTimer::singleShot(0, &app, start);
    else
        QObject::connect(&config, &Configuration::ready, &app, start);
    return app.exec();
}
