#include "childsanitizerlog.h"
#include "singleinstancechecker.h"
#include "testhttpserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "testxvfb.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool touch(const QString& path, const QByteArray& data = QByteArray())
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

} // namespace

// The real `update` binary from its start: old-file clean-up, handing over to
// a running instance, the command line, translations, markers and the log
// file. Each case runs a copy of the binary in an application directory of
// its own, with its own temporary, home and configuration directories.
class TestStartup : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> m_Root;
    QString m_AppDir;
    TestXvfb m_Xvfb;

    QString path(const QString& name) const { return m_Root->filePath(name); }
    QString appFile(const QString& name) const { return m_AppDir + QLatin1Char('/') + name; }
    QString executable() const { return appFile(QStringLiteral("update")); }
    QString tempDir() const { return path(QStringLiteral("tmp")); }

    QProcessEnvironment environment(bool onDisplay = false) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TMPDIR"), tempDir());
        env.insert(QStringLiteral("HOME"), path(QStringLiteral("home")));
        env.insert(QStringLiteral("KV3_CONFIG_DIR"), path(QStringLiteral("config")));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), path(QStringLiteral("runtime")));
        env.insert(QStringLiteral("LANG"), QStringLiteral("C"));
        env.remove(QStringLiteral("LC_ALL"));
        env.remove(QStringLiteral("LC_MESSAGES"));
        if (onDisplay) {
            env.insert(QStringLiteral("DISPLAY"), m_Xvfb.display());
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
            // Sanitizer builds: the X keyboard library duplicates names that
            // are not zero-terminated with strndup, which strict string
            // checks report although strndup stops at its length; Qt's GL
            // integration loads a GL library whose allocations the leak
            // checker reports once it is unloaded (no GL is drawn with).
            if (env.contains(QStringLiteral("ASAN_OPTIONS"))) {
                env.insert(QStringLiteral("ASAN_OPTIONS"),
                    env.value(QStringLiteral("ASAN_OPTIONS"))
                        + QStringLiteral(":strict_string_checks=0"));
                env.insert(QStringLiteral("QT_XCB_GL_INTEGRATION"), QStringLiteral("none"));
            }
        } else {
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("minimal"));
        }
        return ChildSanitizerLog(m_Root->path()).apply(env);
    }

    // The server name that the copy in the application directory uses, with
    // the child's home directory.
    QString serverName() const
    {
        return SingleInstanceChecker::serverName(executable(), path(QStringLiteral("home")));
    }

    // A running instance as the copy would see it: listens under its name in
    // the child's temporary directory and keeps what it receives.
    struct RunningInstance
    {
        QLocalServer server;
        QByteArray received;
    };

    std::unique_ptr<RunningInstance> startRunningInstance()
    {
        auto instance = std::make_unique<RunningInstance>();
        RunningInstance* raw = instance.get();
        connect(&raw->server, &QLocalServer::newConnection, [raw] {
            QLocalSocket* socket = raw->server.nextPendingConnection();
            connect(socket, &QLocalSocket::readyRead,
                [raw, socket] { raw->received += socket->readAll(); });
        });
        return raw->server.listen(serverName()) ? std::move(instance) : nullptr;
    }

    // Every wait below is for a thing the case needs (the child's end, its
    // box, a line of its log), however long a sanitizer build on a loaded
    // machine takes for it; only a child stuck for this long ends the wait.
    static constexpr int kHangGuardMs = 150000;

    // Runs the copy to its end (the test's own servers answering meanwhile);
    // -1 when it hung.
    int run(QProcess& child, const QStringList& args, const QProcessEnvironment& env)
    {
        child.setProcessEnvironment(env);
        child.start(executable(), args);
        if (!child.waitForStarted(kHangGuardMs))
            return -1;
        QElapsedTimer clock;
        clock.start();
        while (child.state() != QProcess::NotRunning && clock.elapsed() < kHangGuardMs)
            QTest::qWait(20);
        if (child.state() != QProcess::NotRunning) {
            child.kill();
            child.waitForFinished(10000);
            return -1;
        }
        return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : -1;
    }

    // The id of the child's visible window titled title, once it shows; empty
    // when the child ended (or hung) without it.
    QString waitForBox(QProcess& child, const QString& title) const
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < kHangGuardMs) {
            const QString box = m_Xvfb.waitForWindow(title, 0);
            if (!box.isEmpty() || child.state() == QProcess::NotRunning)
                return box;
            child.waitForFinished(200);
        }
        return QString();
    }

    // Presses Return in the box until the child has ended. A press that
    // comes before the box takes keys is lost, so it is given again while
    // the box is still shown.
    bool answerBox(QProcess& child, const QString& box, const QString& title) const
    {
        QElapsedTimer clock;
        clock.start();
        while (clock.elapsed() < kHangGuardMs) {
            if (!m_Xvfb.visibleWindows(title).contains(box))
                return child.waitForFinished(kHangGuardMs) || child.state() == QProcess::NotRunning;
            if (!m_Xvfb.pressKey(box, QStringLiteral("Return")))
                return false;
            if (child.waitForFinished(1000))
                return true;
        }
        return false;
    }

    // The message of the box as a person copies it: three clicks on it (right
    // of the icon, near the box's top) select its line. A child too busy to
    // take them as one triple click selects a word of it only; the clicks
    // are given again, a little further right so that they do not count
    // among the ones before.
    QString boxMessage(const QString& box, const QString& expected) const
    {
        int width = 0;
        int height = 0;
        if (!m_Xvfb.geometry(box, &width, &height))
            return QString();
        QString text;
        for (int round = 0; round < 3 && text != expected; ++round) {
            if (!m_Xvfb.click(box, width / 2 + 20 * round, 20, 3))
                break;
            // Asked for after the clicks, the child answers once it has taken
            // them; until it first owns the selection, nobody does.
            QElapsedTimer clock;
            clock.start();
            text = m_Xvfb.primarySelection(kHangGuardMs);
            while (text.isNull() && clock.elapsed() < kHangGuardMs) {
                QTest::qWait(20);
                text = m_Xvfb.primarySelection(kHangGuardMs);
            }
        }
        return text;
    }

    // Why a child did not do what the case waited for: how it ended and the
    // end of its log (a fatal error of Qt goes there, not to its output).
    QString describe(QProcess& child) const
    {
        QString text = child.state() != QProcess::NotRunning ? QStringLiteral("still running")
            : child.exitStatus() == QProcess::CrashExit
            ? QStringLiteral("crashed")
            : QStringLiteral("exit %1").arg(child.exitCode());
        const QList<QByteArray> lines = logLines();
        for (int i = qMax(0, lines.size() - 4); i < lines.size(); ++i)
            text += QLatin1Char('\n') + QString::fromUtf8(lines.at(i).left(200));
        return text;
    }

    // Lines of the run's log file (logging is on in every case).
    QList<QByteArray> logLines() const
    {
        const QDir dir(tempDir() + QStringLiteral("/kelvarion_update_log"));
        QList<QByteArray> lines;
        for (const QString& name : dir.entryList(QDir::Files, QDir::Name)) {
            for (const QByteArray& line : readFile(dir.filePath(name)).split('\n')) {
                // Time, tab-bar-tab, level, tab-bar-tab, message.
                const int level = line.indexOf("\t|\t");
                const int message = level < 0 ? -1 : line.indexOf("\t|\t", level + 3);
                if (message >= 0)
                    lines.append(line.mid(message + 3));
            }
        }
        return lines;
    }

    bool logHas(const QByteArray& text) const
    {
        for (const QByteArray& line : logLines()) {
            if (line.contains(text))
                return true;
        }
        return false;
    }

    static constexpr int kSlowRemovalMs = 500;

    // The child's removals of the force-update markers each wait half a
    // second (the preloaded library delays them), so that a case which
    // looked before the child was done with them would fail every time, not
    // only on a loaded machine. The library logs each removal it held back
    // to slowRemovalLog().
    QProcessEnvironment slowMarkerRemoval(QProcessEnvironment env) const
    {
        const QString preload = env.value(QStringLiteral("LD_PRELOAD"));
        env.insert(QStringLiteral("LD_PRELOAD"),
            QStringLiteral(KV_TEST_SLOWREMOVAL)
                + (preload.isEmpty() ? QString() : QLatin1Char(':') + preload));
        env.insert(QStringLiteral("KV_TEST_SLOW_REMOVAL_MS"), QString::number(kSlowRemovalMs));
        env.insert(QStringLiteral("KV_TEST_SLOW_REMOVAL_PROGRAM"), QStringLiteral("update"));
        env.insert(QStringLiteral("KV_TEST_SLOW_REMOVAL_PATH"), QStringLiteral("kv3_force_update"));
        env.insert(QStringLiteral("KV_TEST_SLOW_REMOVAL_LOG"), slowRemovalLog());
        // The address sanitizer's runtime refuses to start behind a library
        // preloaded before it unless told that this is fine. The options are
        // there in every build (the child's report file), and ignored where
        // no sanitizer runs.
        env.insert(QStringLiteral("ASAN_OPTIONS"),
            env.value(QStringLiteral("ASAN_OPTIONS"))
                + QStringLiteral(":verify_asan_link_order=0"));
        return env;
    }

    QString slowRemovalLog() const { return path(QStringLiteral("slow-removals.log")); }

    // How long the library held back the removal of each path it logged.
    QHash<QString, int> slowRemovals() const
    {
        QHash<QString, int> held;
        for (const QByteArray& line : readFile(slowRemovalLog()).split('\n')) {
            const int tab = line.indexOf('\t');
            if (tab > 0)
                held.insert(QFile::decodeName(line.mid(tab + 1)), line.left(tab).toInt());
        }
        return held;
    }

private slots:
    void initTestCase() { QVERIFY2(m_Xvfb.start(), qPrintable(m_Xvfb.errorString())); }

    void init()
    {
        // Beside the build, so that the binary can be hard-linked.
        m_Root = std::make_unique<QTemporaryDir>(
            QCoreApplication::applicationDirPath() + QStringLiteral("/startup-XXXXXX"));
        QVERIFY(m_Root->isValid());
        m_AppDir = path(QStringLiteral("app"));
        for (const char* dir : {"app", "tmp", "home", "config", "runtime"})
            QVERIFY(QDir().mkpath(path(QLatin1String(dir))));
        QFile::setPermissions(path(QStringLiteral("runtime")),
            QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        // The application directory is where the executable lies: the copy
        // is a hard link (or a copy where links cannot be made).
        if (::link(QFile::encodeName(QStringLiteral(KV_UPDATE_BINARY)).constData(),
                QFile::encodeName(executable()).constData())
            != 0)
            QVERIFY(QFile::copy(QStringLiteral(KV_UPDATE_BINARY), executable()));
        QVERIFY(touch(tempDir() + QStringLiteral("/kv3_update_log")));
        // The test's own local sockets go where the child looks for them.
        qputenv("TMPDIR", QFile::encodeName(tempDir()));
    }

    // A child that a sanitizer stopped fails the case it ran in, with its
    // report.
    void cleanup()
    {
        const QString reports = ChildSanitizerLog(m_Root->path()).takeReports();
        m_Root.reset();
        QVERIFY2(reports.isEmpty(), "a sanitizer stopped the child: its report is above");
    }

    void secondStartHandsOverToRunningInstance()
    {
        std::unique_ptr<RunningInstance> instance = startRunningInstance();
        QVERIFY(instance);
        QProcess child;
        QCOMPARE(run(child, {}, environment()), 0);
        QTRY_COMPARE(instance->received, QByteArray("#"));
        const QList<QByteArray> lines = logLines();
        QVERIFY(!lines.isEmpty());
        QCOMPARE(lines.first(), QByteArray("Kelvarion updater started"));
        QCOMPARE(lines.last(), QByteArray("Detected other instance running, aborting"));
        QVERIFY(logHas("Removing old files done"));
    }

    void leftoversAreRemoved_data()
    {
        QTest::addColumn<QStringList>("removed");
        QTest::addColumn<QStringList>("kept");
        QTest::addColumn<bool>("oldDirGone");
        QTest::newRow("all kinds") << QStringList {"libQtCore.so.4", "libQtSql.so.4", "_old_update",
            "_old_libQt5Core.so.5", "old/_old_libqgif.so", "imageformats/_old_libqjpeg.so",
            "accessible/_old_libqtaccessiblewidgets.so", "sqldrivers/_old_libsqlite.so"}
                                   << QStringList {"libQt5Core.so.5", "_old_other",
                                          "imageformats/libQtCore.so.4", "platforms/_old_update"}
                                   << true;
        QTest::newRow("old directory still holding a file")
            << QStringList {"old/_old_libsqlite.so"} << QStringList {"old/keep.txt"} << false;
    }

    void leftoversAreRemoved()
    {
        QFETCH(QStringList, removed);
        QFETCH(QStringList, kept);
        QFETCH(bool, oldDirGone);
        for (const QString& name : removed + kept)
            QVERIFY(touch(appFile(name)));
        QVERIFY(QDir().mkpath(appFile(QStringLiteral("old"))));
        std::unique_ptr<RunningInstance> instance = startRunningInstance();
        QVERIFY(instance);
        QProcess child;
        QCOMPARE(run(child, {}, environment()), 0);
        for (const QString& name : removed)
            QVERIFY2(!QFileInfo::exists(appFile(name)), qPrintable(name));
        for (const QString& name : kept)
            QVERIFY2(QFileInfo::exists(appFile(name)), qPrintable(name));
        QCOMPARE(!QFileInfo::exists(appFile(QStringLiteral("old"))), oldDirGone);
    }

    // A command line that cannot be parsed: the error box, status 1, no
    // window; the clean-up has run before. The box speaks the user's
    // language when the translations lie beside the updater.
    void badCommandLine_data()
    {
        QTest::addColumn<QString>("lang");
        QTest::addColumn<bool>("translations");
        QTest::addColumn<QString>("title");
        QTest::newRow("english") << "C" << true << "Error";
        QTest::newRow("german") << "de_DE.UTF-8" << true << "Fehler";
        QTest::newRow("german, translations missing") << "de_DE.UTF-8" << false << "Error";
    }

    void badCommandLine()
    {
        QFETCH(QString, lang);
        QFETCH(bool, translations);
        QFETCH(QString, title);
        if (translations) {
            QVERIFY(QDir().mkpath(appFile(QStringLiteral("translations"))));
            for (const QFileInfo& qm :
                QDir(QStringLiteral(KV_TRANSLATIONS_DIR)).entryInfoList({QStringLiteral("*.qm")}))
                QVERIFY(QFile::copy(
                    qm.filePath(), appFile(QStringLiteral("translations/") + qm.fileName())));
        }
        QVERIFY(touch(appFile(QStringLiteral("_old_update"))));
        QProcessEnvironment env = environment(true);
        env.insert(QStringLiteral("LANG"), lang);
        QProcess child;
        child.setProcessEnvironment(env);
        child.start(executable(), {QStringLiteral("client_linux_x86"), QStringLiteral("abc")});
        QVERIFY(child.waitForStarted(kHangGuardMs));
        const QString box = waitForBox(child, title);
        QVERIFY2(!box.isEmpty(), qPrintable(title + QStringLiteral(": ") + describe(child)));
        QVERIFY(m_Xvfb.visibleWindows(QStringLiteral("Kelvarion 3 Client Update")).isEmpty());
        QVERIFY(
            m_Xvfb.visibleWindows(QStringLiteral("Kelvarion 3 Client-Aktualisierung")).isEmpty());
        QVERIFY2(answerBox(child, box, title), qPrintable(describe(child)));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 1);
        QVERIFY(logHas("Failed to parse command line options, aborting"));
        QVERIFY(!QFileInfo::exists(appFile(QStringLiteral("_old_update"))));
    }

    // Stage one deletes the force-update markers at start; stage two keeps
    // them.
    void forceUpdateMarkers_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("deleted");
        QTest::newRow("stage one") << QStringList {"update_linux_x86", "5"} << true;
        QTest::newRow("stage two")
            << QStringList {"--clientupdate", "client_linux_x86", "5"} << false;
    }

    void forceUpdateMarkers()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, deleted);
        const QStringList markers {tempDir() + QStringLiteral("/kv3_force_update"),
            tempDir() + QStringLiteral("/kv3_force_update_check")};
        for (const QString& marker : markers)
            QVERIFY(touch(marker));
        // The markers' line is logged before they are removed. Stage one is
        // waited for until they are gone, its removals slowed so that a wait
        // that ended early would fail every time; the library's log shows
        // that they were. Stage two is waited for until its start timer
        // fires, which comes after the markers were dealt with: a removal
        // there, slowed or not, would be over by then.
        QProcess child;
        child.setProcessEnvironment(deleted ? slowMarkerRemoval(environment()) : environment());
        child.start(executable(), args);
        QVERIFY(child.waitForStarted(kHangGuardMs));
        if (deleted) {
            QTRY_VERIFY_WITH_TIMEOUT(
                std::none_of(markers.begin(), markers.end(),
                    [](const QString& marker) { return QFileInfo::exists(marker); })
                    || child.state() == QProcess::NotRunning,
                kHangGuardMs);
            const QHash<QString, int> held = slowRemovals();
            for (const QString& marker : markers)
                QVERIFY2(held.value(marker, -1) >= kSlowRemovalMs, qPrintable(marker));
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(
                logHas("onStartUpdate") || child.state() == QProcess::NotRunning, kHangGuardMs);
            QVERIFY2(logHas("onStartUpdate"), qPrintable(describe(child)));
        }
        child.kill();
        child.waitForFinished(10000);
        for (const QString& marker : markers)
            QCOMPARE(!QFileInfo::exists(marker), deleted);
    }

    // A fatal error ends the run: the box is shown, the start timer that fires
    // while it is open starts no update, and OK ends the process with status
    // 2. Here the proxy beside the updater cannot be read, while its channel
    // names a file server that would serve the update.
    void fatalErrorStartsNoUpdate()
    {
        TestHttpServer server;
        QVERIFY(server.listen());
        QVERIFY(touch(appFile(QStringLiteral("update.ini")),
            "[Channel]\nalpha=" + server.url(QStringLiteral("/")).toUtf8()
                + "\nalphaRevno=5\n[update]\nproxy=http://[x\n"));
        QProcess child;
        child.setProcessEnvironment(environment(true));
        child.start(executable(), QStringList());
        QVERIFY(child.waitForStarted(kHangGuardMs));
        const QString box = waitForBox(child, QStringLiteral("Error"));
        QVERIFY2(!box.isEmpty(), qPrintable(describe(child)));
        QTRY_VERIFY_WITH_TIMEOUT(logHas("onStartUpdate"), kHangGuardMs);
        QVERIFY2(answerBox(child, box, QStringLiteral("Error")), qPrintable(describe(child)));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 2);
        QVERIFY(!logHas("Update engine initialized"));
        QCOMPARE(server.totalRequests(), 0);
    }

    // TMPDIR naming a directory that does not exist yet: it is made (for its
    // owner only) before the single-instance socket and the rest go there,
    // not under the root directory.
    void missingTempDirIsCreatedAtStart()
    {
        const QString missing = path(QStringLiteral("missing/tmp"));
        QProcessEnvironment env = environment();
        env.insert(QStringLiteral("TMPDIR"), missing);
        QProcess child;
        child.setProcessEnvironment(env);
        child.start(executable(), {QStringLiteral("update_linux_x86"), QStringLiteral("5")});
        QVERIFY(child.waitForStarted(kHangGuardMs));
        QTRY_VERIFY_WITH_TIMEOUT(
            QFileInfo::exists(missing + QLatin1Char('/') + serverName()), kHangGuardMs);
        child.kill();
        child.waitForFinished(10000);
        struct stat info;
        QCOMPARE(::stat(QFile::encodeName(missing).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0700));
    }

    // TMPDIR that names no directory and where none can be made: the error
    // box, status 1, and nothing made, neither where TMPDIR points nor, in
    // its place, under the root directory (the single-instance socket, Qt's
    // runtime directory while XDG_RUNTIME_DIR is unset).
    void unusableTempDirStopsWithTheBox_data()
    {
        QTest::addColumn<QString>("tempDir");
        QTest::newRow("link that points nowhere") << "link";
        QTest::newRow("below a file") << "file/tmp";
    }

    void unusableTempDirStopsWithTheBox()
    {
        QFETCH(QString, tempDir);
        QVERIFY(QFile::link(path(QStringLiteral("nowhere")), path(QStringLiteral("link"))));
        QVERIFY(touch(path(QStringLiteral("file"))));
        const QStringList rootBefore = QDir::root().entryList(QDir::AllEntries | QDir::System);
        QProcessEnvironment env = environment(true);
        env.insert(QStringLiteral("TMPDIR"), path(tempDir));
        env.remove(QStringLiteral("XDG_RUNTIME_DIR"));
        QProcess child;
        child.setProcessEnvironment(env);
        child.start(executable(), {QStringLiteral("update_linux_x86"), QStringLiteral("5")});
        QVERIFY(child.waitForStarted(kHangGuardMs));
        const QString box = waitForBox(child, QStringLiteral("Error"));
        QVERIFY2(!box.isEmpty(), qPrintable(describe(child)));
        const QString message = QStringLiteral("Unable to get temp directory.");
        QCOMPARE(boxMessage(box, message), message);
        // While the box is up too: the socket would be gone again at the end.
        QCOMPARE(QDir::root().entryList(QDir::AllEntries | QDir::System), rootBefore);
        QVERIFY2(answerBox(child, box, QStringLiteral("Error")), qPrintable(describe(child)));
        QCOMPARE(child.exitStatus(), QProcess::NormalExit);
        QCOMPARE(child.exitCode(), 1);
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("nowhere"))));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("file/tmp"))));
        QCOMPARE(QDir::root().entryList(QDir::AllEntries | QDir::System), rootBefore);
    }

    // Another local user may create the log directory, or a link in its
    // place, before the updater runs: the updater then runs without a log and
    // writes nothing through the link.
    void plantedLogDirectoryIsNotUsed()
    {
        const QString victim = path(QStringLiteral("victim"));
        QVERIFY(QDir().mkpath(victim));
        QVERIFY(QFile::link(victim, tempDir() + QStringLiteral("/kelvarion_update_log")));
        std::unique_ptr<RunningInstance> instance = startRunningInstance();
        QVERIFY(instance);
        QProcess child;
        QCOMPARE(run(child, {}, environment()), 0);
        QVERIFY(QDir(victim).entryList(QDir::AllEntries | QDir::NoDotAndDotDot).isEmpty());
        QTRY_COMPARE(instance->received, QByteArray("#"));
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
