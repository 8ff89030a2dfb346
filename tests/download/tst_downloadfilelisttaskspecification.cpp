#include "configuration.h"
#include "downloadfilelisttaskspecification.h"
#include "downloadfiletaskspecification.h"
#include "downloadtesthelpers.h"
#include "testhttpserver.h"

#include <QDir>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

constexpr int kVersion = 777;
constexpr qreal kWeight = 0.4;

} // namespace

class TestDownloadFileListTaskSpecification : public QObject
{
    Q_OBJECT

    DownloadTestBed bed;
    QNetworkAccessManager* manager = nullptr;
    TestHttpServer* server = nullptr;
    QTemporaryDir* dir = nullptr;
    Configuration* config = nullptr;
    QList<DownloadEntry> list;

    static QString serverPath(const DownloadEntry& e)
    {
        return QStringLiteral("/files/%1/%2/%3").arg(kVersion).arg(e.section, e.key);
    }

    QString local(const QString& key) const { return config->m_TempDir + "/" + key; }

    // Lists a file and serves it as listed.
    DownloadEntry addFile(const QString& section, const QString& key, const QByteArray& body)
    {
        DownloadEntry e;
        e.section = section;
        e.key = key;
        e.hash = QString::fromLatin1(TestHttpServer::sha512Hex(body));
        e.size = quint64(body.size());
        list << e;
        server->serve(serverPath(e), TestHttpResponse::ok(body));
        return e;
    }

    std::unique_ptr<DownloadFileListTaskSpecification> makeList()
    {
        return std::make_unique<DownloadFileListTaskSpecification>(
            &list, manager, config, nullptr, kWeight);
    }

private slots:
    void init()
    {
        QVERIFY(bed.setUp(QStringLiteral("/files/")));
        manager = bed.manager.get();
        server = bed.server.get();
        dir = bed.dir.get();
        config = new Configuration;
        config->m_Version = kVersion;
        config->m_TempDir = dir->path();
        list.clear();
    }

    void cleanup()
    {
        delete config;
        bed.tearDown();
    }

    void downloadsAndChecksEveryFile()
    {
        const auto a = addFile("bin", "a/b/c.so", bodyOf(10, 'c'));
        const auto b = addFile("bin", "a/b/d.so", bodyOf(20, 'd'));
        const auto c = addFile("data", "e.txt", bodyOf(30, 'e'));
        auto task = makeList();
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QSignalSpy finished(task.get(), &TaskSpecification::finished);
        task->execute();

        // The directories exist before any download starts.
        QVERIFY(QFileInfo(local("a/b")).isDir());
        QCOMPARE(task->subtasks().size(), 3);
        for (TaskSpecification* child : task->subtasks())
            QCOMPARE(child->weight(), 1.0 / 3);
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task->getDownloadProgress(&done, &total, &speed, &downloading);
        QCOMPARE(total, quint64(60));

        DownloadPoller poller(task.get());
        QTRY_VERIFY_WITH_TIMEOUT(task->state() != STATE_RUNNING, 30000);
        poller.poll(); // the figures after the end, whether or not a poll came before
        QCOMPARE(task->state(), int(STATE_FINISHED));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(task->progress(), kWeight);
        QCOMPARE(readAll(local("a/b/c.so")), bodyOf(10, 'c'));
        QCOMPARE(readAll(local("a/b/d.so")), bodyOf(20, 'd'));
        QCOMPARE(readAll(local("e.txt")), bodyOf(30, 'e'));
        QCOMPARE(poller.lastTotal, quint64(60));

        const QStringList said = messageTexts(messages);
        QCOMPARE(said.first(), QStringLiteral("Downloading files"));
        QCOMPARE(said.filter("Downloading bin/a/b/c.so").size(), 2);
        QCOMPARE(said.filter("Downloading data/e.txt finished").size(), 1);
        QVERIFY(said.filter("Signature check failed").isEmpty());
        QCOMPARE(server->requestCount(serverPath(a)), 1);
        QCOMPARE(server->requestCount(serverPath(b)), 1);
        QCOMPARE(server->requestCount(serverPath(c)), 1);
    }

    void emptyListNeedsNoDownloads()
    {
        auto task = makeList();
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QSignalSpy finished(task.get(), &TaskSpecification::finished);
        task->execute();
        QCOMPARE(task->state(), int(STATE_FINISHED));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(messageTexts(messages), QStringList {"No downloads needed"});
    }

    void uncreatableDirectoryFailsBeforeAnyDownload()
    {
        addFile("bin", "ok.txt", bodyOf(5));
        addFile("bin", "a/b/c.so", bodyOf(5));
        // A file stands where the directory must go.
        QFile blocker(local("a"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        auto task = makeList();
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
        task->execute();
        QCOMPARE(task->state(), int(STATE_FAILED));
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(messageTexts(messages),
            QStringList {QStringLiteral("Could not create dir %1/a/b")
                             .arg(QFileInfo(dir->path()).canonicalFilePath())});
        QTest::qWait(50);
        QCOMPARE(server->totalRequests(), 0);
    }

    void streamsLimitParallelDownloads_data()
    {
        QTest::addColumn<int>("streams");
        QTest::addColumn<int>("files");
        QTest::newRow("2 of 5") << 2 << 5;
        QTest::newRow("6 of 9") << 6 << 9;
    }

    void streamsLimitParallelDownloads()
    {
        QFETCH(int, streams);
        QFETCH(int, files);
        config->m_Streams = streams;
        QStringList order;
        for (int i = 0; i < files; ++i) {
            const QString key = QStringLiteral("f%1.bin").arg(i);
            addFile("s", key, bodyOf(3000 + i, char('a' + i)));
            order << QStringLiteral("Downloading s/%1").arg(key);
        }
        server->setPaused(true);
        auto task = makeList();
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        task->execute();
        QTRY_COMPARE_WITH_TIMEOUT(server->totalRequests(), streams, 10000);
        QTest::qWait(100);
        QCOMPARE(server->totalRequests(), streams);

        server->release();
        DownloadPoller poller(task.get());
        QTRY_VERIFY_WITH_TIMEOUT(task->state() != STATE_RUNNING, 30000);
        QCOMPARE(task->state(), int(STATE_FINISHED));
        QCOMPARE(server->totalRequests(), files);
        QVERIFY(server->maxActiveRequests() <= streams);
        QStringList started;
        for (const QString& text : messageTexts(messages))
            if (text.startsWith("Downloading s/") && !text.endsWith("finished"))
                started << text;
        QCOMPARE(started, order);
        for (int i = 0; i < files; ++i)
            QCOMPARE(
                readAll(local(QStringLiteral("f%1.bin").arg(i))), bodyOf(3000 + i, char('a' + i)));
    }

    void mismatchIsFetchedAgain()
    {
        const QByteArray good = bodyOf(4000, 'g');
        const auto e = addFile("bin", "x.so", good);
        server->serve(
            serverPath(e), {TestHttpResponse::ok(bodyOf(4000, 'h')), TestHttpResponse::ok(good)});
        auto task = makeList();
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        runUntilEnded(task.get());
        QCOMPARE(task->state(), int(STATE_FINISHED));
        QCOMPARE(server->requestCount(serverPath(e)), 2);
        QCOMPARE(readAll(local("x.so")), good);
        QCOMPARE(messageTexts(messages).filter("Signature check failed for").size(), 1);
        QVERIFY(messageTexts(messages).contains("Signature check failed for " + local("x.so")));
        QCOMPARE(task->progress(), kWeight);
    }

    void persistentMismatchFailsAndRemovesTheFile()
    {
        const auto e = addFile("bin", "x.so", bodyOf(4000, 'g'));
        // The listed size, but the wrong file.
        server->serve(serverPath(e), TestHttpResponse::ok(bodyOf(4000, 'h')));
        auto task = makeList();
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
        runUntilEnded(task.get());
        QCOMPARE(task->state(), int(STATE_FAILED));
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(server->requestCount(serverPath(e)), 5);
        const QStringList said = messageTexts(messages);
        QCOMPARE(said.count("Signature check failed for " + local("x.so")), 5);
        QCOMPARE(said.last(), QStringLiteral("Unable to download bin/x.so"));
        QVERIFY(!QFile::exists(local("x.so")));
    }

    void mismatchSharesTheFiveAttempts_data()
    {
        QTest::addColumn<int>("notFound");
        QTest::addColumn<bool>("succeeds");
        // Three refusals and a wrong file leave one attempt for the good one.
        QTest::newRow("last attempt good") << 3 << true;
        // Four refusals: the wrong file comes on the fifth and last attempt.
        QTest::newRow("no attempt left") << 4 << false;
    }

    void mismatchSharesTheFiveAttempts()
    {
        QFETCH(int, notFound);
        QFETCH(bool, succeeds);
        const QByteArray good = bodyOf(1000, 'g');
        const auto e = addFile("bin", "y.so", good);
        QList<TestHttpResponse> attempts;
        for (int i = 0; i < notFound; ++i)
            attempts << TestHttpResponse::error(404);
        attempts << TestHttpResponse::ok(bodyOf(1000, 'q')) << TestHttpResponse::ok(good);
        server->serve(serverPath(e), attempts);
        auto task = makeList();
        runUntilEnded(task.get());
        QCOMPARE(server->requestCount(serverPath(e)), 5);
        QCOMPARE(task->state(), int(succeeds ? STATE_FINISHED : STATE_FAILED));
        QCOMPARE(QFile::exists(local("y.so")), succeeds);
    }

    void failedFileAbortsSiblingsAndStopsTheRest()
    {
        config->m_Streams = 2;
        const auto bad = addFile("s", "bad.bin", bodyOf(10));
        const auto slow = addFile("s", "slow.bin", bodyOf(1000));
        const auto later = addFile("s", "later.bin", bodyOf(10));
        server->serve(serverPath(bad), TestHttpResponse::error(500));
        TestHttpResponse partial = TestHttpResponse::cutOff(bodyOf(1000), 400);
        partial.stallAfterSending = true;
        server->serve(serverPath(slow), partial);
        auto task = makeList();
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
        task->execute(); // no poll: the stalled download waits for the abort
        QTRY_VERIFY_WITH_TIMEOUT(task->state() != STATE_RUNNING, 30000);

        QCOMPARE(task->state(), int(STATE_FAILED));
        QCOMPARE(canceled.count(), 1);
        const QStringList said = messageTexts(messages);
        QVERIFY(said.contains("Unable to download s/bad.bin"));
        QVERIFY(said.contains("Abort downloading s/slow.bin"));
        QCOMPARE(server->requestCount(serverPath(bad)), 5);
        QCOMPARE(server->requestCount(serverPath(slow)), 1);
        QCOMPARE(server->requestCount(serverPath(later)), 0);
        QVERIFY(!QFile::exists(local("bad.bin")));
        QVERIFY(!QFile::exists(local("slow.bin")));
        QVERIFY(!QFile::exists(local("later.bin")));
    }

    void noQueuedDownloadStartsAfterASiblingFailed_data()
    {
        QTest::addColumn<int>("streams");
        QTest::addColumn<int>("files");
        QTest::addColumn<int>("failing");
        QTest::newRow("2 streams, first fails") << 2 << 5 << 0;
        QTest::newRow("3 streams, last running fails") << 3 << 7 << 2;
        QTest::newRow("6 streams, one of many fails") << 6 << 12 << 4;
    }

    void noQueuedDownloadStartsAfterASiblingFailed()
    {
        // The running siblings stall half-way, so the failure comes first
        // and frees slots that the queued files must not take.
        QFETCH(int, streams);
        QFETCH(int, files);
        QFETCH(int, failing);
        config->m_Streams = streams;
        TestHttpResponse partial = TestHttpResponse::cutOff(bodyOf(1000), 400);
        partial.stallAfterSending = true;
        QList<DownloadEntry> entries;
        for (int i = 0; i < files; ++i) {
            entries << addFile("s", QStringLiteral("f%1.bin").arg(i), bodyOf(1000));
            server->serve(
                serverPath(entries.last()), i == failing ? TestHttpResponse::error(404) : partial);
        }
        auto task = makeList();
        task->execute(); // no poll: the stalled downloads wait for the abort
        QTRY_VERIFY_WITH_TIMEOUT(task->state() != STATE_RUNNING, 30000);
        QCOMPARE(task->state(), int(STATE_FAILED));
        QCOMPARE(server->requestCount(serverPath(entries.at(failing))), 5);
        // Let anything a late start would send reach the server.
        QTRY_COMPARE_WITH_TIMEOUT(server->activeRequests(), 0, 10000);
        QCoreApplication::processEvents();
        for (int i = 0; i < files; ++i) {
            if (i != failing)
                QCOMPARE(server->requestCount(serverPath(entries.at(i))), i < streams ? 1 : 0);
        }
        QVERIFY(QDir(dir->path()).entryList(QDir::Files).isEmpty());
    }

    void cancelStopsRunningDownloads_data()
    {
        QTest::addColumn<int>("streams");
        QTest::addColumn<int>("outcome");
        QTest::newRow("one running") << 1 << int(STATE_CANCELED);
        // The first file's cancel makes its siblings abort before their own
        // cancel arrives, and a failure outweighs a cancel.
        QTest::newRow("two running") << 2 << int(STATE_FAILED);
    }

    void cancelStopsRunningDownloads()
    {
        QFETCH(int, streams);
        QFETCH(int, outcome);
        config->m_Streams = streams;
        TestHttpResponse partial = TestHttpResponse::cutOff(bodyOf(50000), 20000);
        partial.stallAfterSending = true;
        for (const QString key : {"one.bin", "two.bin", "three.bin"})
            server->serve(serverPath(addFile("s", key, bodyOf(50000))), partial);
        auto task = makeList();
        QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
        task->execute();
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(local("one.bin")).size() > 0, 10000);
        if (streams > 1)
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(local("two.bin")).size() > 0, 10000);
        task->cancel();
        QTRY_VERIFY_WITH_TIMEOUT(task->state() != STATE_RUNNING, 10000);
        QCOMPARE(task->state(), outcome);
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(server->totalRequests(), streams);
        QTRY_COMPARE_WITH_TIMEOUT(server->activeRequests(), 0, 10000);
        QVERIFY(QDir(dir->path()).entryList(QDir::Files).isEmpty());
    }

    void resetBuildsFreshChildren()
    {
        addFile("s", "p.bin", bodyOf(100));
        addFile("s", "q.bin", bodyOf(200));
        auto task = makeList();
        runUntilEnded(task.get());
        QCOMPARE(task->state(), int(STATE_FINISHED));
        QCOMPARE(task->totalBytes(), qint64(300));
        const QList<TaskSpecification*> before = task->subtasks();

        task->reset();
        QCOMPARE(task->state(), int(STATE_IDLE));
        QCOMPARE(task->totalBytes(), qint64(0));
        QVERIFY(task->subtasks().isEmpty());
        runUntilEnded(task.get());
        QCOMPARE(task->state(), int(STATE_FINISHED));
        QCOMPARE(task->totalBytes(), qint64(300));
        QCOMPARE(task->subtasks().size(), 2);
        QVERIFY(task->subtasks().first() != before.first());
        QCOMPARE(server->totalRequests(), 4);
    }

    void mismatchAfterSiblingFailureIsNotFetchedAgain()
    {
        const auto e = addFile("s", "z.bin", bodyOf(800, 'z'));
        server->serve(serverPath(e), TestHttpResponse::ok(bodyOf(800, 'w')));
        DownloadFileTaskSpecification task(e, manager, config, nullptr, 0.5);
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();
        QCOMPARE(task.subtasks().size(), 2);
        // A sibling fails while this file waits for its check.
        connect(task.subtasks().first(), &TaskSpecification::finished, &task,
            [&task] { task.abort(nullptr); });
        QTRY_VERIFY_WITH_TIMEOUT(task.state() != STATE_RUNNING, 30000);
        QCOMPARE(task.state(), int(STATE_FAILED));
        QCOMPARE(server->requestCount(serverPath(e)), 1);
        QCOMPARE(messageTexts(messages).last(), QStringLiteral("Unable to download s/z.bin"));
        QVERIFY(!QFile::exists(local("z.bin")));
    }

    void fileTaskEndsWithItsDownloadWhenThatFails()
    {
        DownloadEntry e;
        e.section = "s";
        e.key = "gone.bin";
        e.hash = QString::fromLatin1(TestHttpServer::sha512Hex("x"));
        e.size = 1;
        DownloadFileTaskSpecification task(e, manager, config, nullptr, 0.5);
        QSignalSpy messages(&task, &TaskSpecification::message);
        runUntilEnded(&task);
        QCOMPARE(task.state(), int(STATE_FAILED));
        // The check never ran: no "Signature check failed".
        QCOMPARE(messageTexts(messages).filter("Signature").size(), 0);
        QCOMPARE(messageTexts(messages).last(), QStringLiteral("Unable to download s/gone.bin"));
    }
};

QTEST_GUILESS_MAIN(TestDownloadFileListTaskSpecification)
#include "tst_downloadfilelisttaskspecification.moc"
