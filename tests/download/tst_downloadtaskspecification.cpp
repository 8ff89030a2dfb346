#include "configuration.h"
#include "downloadtaskspecification.h"
#include "downloadtesthelpers.h"
#include "testcutshortmanager.h"
#include "testhttpserver.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

#include <csignal>
#include <sys/resource.h>

Q_DECLARE_METATYPE(TestHttpResponse)

namespace {

const QString kPath = QStringLiteral("sec/a.bin");
const QString kServerPath = QStringLiteral("/base/12345/sec/a.bin");
// A download's attempts, each told by its own details-log line. The server
// may count more requests than that: the network module sends a request
// again by itself, once more than the updater asked, when a server closes
// the connection before the module has seen its request written out, as a
// loaded machine lets happen.
constexpr int kAttempts = 5;
constexpr int kVersion = 12345;
constexpr qreal kWeight = 0.8;

} // namespace

class TestDownloadTaskSpecification : public QObject
{
    Q_OBJECT

    DownloadTestBed bed;
    QNetworkAccessManager* manager = nullptr;
    TestHttpServer* server = nullptr;
    QTemporaryDir* dir = nullptr;

    QString target() const { return dir->filePath(QStringLiteral("a.bin")); }

    std::unique_ptr<DownloadTaskSpecification> makeTask(qint64 expectedSize, QString file = {})
    {
        return std::make_unique<DownloadTaskSpecification>(manager, kPath, kVersion,
            file.isEmpty() ? target() : file, expectedSize, nullptr, kWeight);
    }

private slots:
    void init()
    {
        QVERIFY(bed.setUp(QStringLiteral("/base/")));
        manager = bed.manager.get();
        server = bed.server.get();
        dir = bed.dir.get();
    }

    void cleanup() { bed.tearDown(); }

    void downloadsIntoTargetFile()
    {
        const QByteArray body = bodyOf(100000);
        server->serve(kServerPath, TestHttpResponse::ok(body));
        auto task = makeTask(body.size());
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QSignalSpy finished(task.get(), &TaskSpecification::finished);
        QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
        runUntilEnded(task.get());

        QCOMPARE(task->state(), int(STATE_FINISHED));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(canceled.count(), 0);
        QCOMPARE(task->progress(), kWeight);
        QCOMPARE(readAll(target()), body);
        QCOMPARE(server->requestLines(), QList<QByteArray> {"GET /base/12345/sec/a.bin HTTP/1.1"});
        QCOMPARE(messageTexts(messages),
            (QStringList {"Downloading sec/a.bin", "Downloading sec/a.bin finished"}));
    }

    void failingStatusGivesFiveAttempts_data()
    {
        QTest::addColumn<int>("status");
        QTest::newRow("404") << 404;
        QTest::newRow("500") << 500;
        // Neither a redirect nor a partial body is the file.
        QTest::newRow("302") << 302;
        QTest::newRow("206") << 206;
    }

    void failingStatusGivesFiveAttempts()
    {
        QFETCH(int, status);
        server->serve(kServerPath, TestHttpResponse::error(status));
        auto task = makeTask(10);
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
        runUntilEnded(task.get());

        QCOMPARE(task->state(), int(STATE_FAILED));
        QCOMPARE(canceled.count(), 1);
        QVERIFY(server->requestCount(kServerPath) >= kAttempts);
        QStringList expected {"Downloading sec/a.bin"};
        for (int i = 0; i < kAttempts; ++i)
            expected << QStringLiteral("sec/a.bin returned %1").arg(status);
        expected << "Unable to download sec/a.bin";
        QCOMPARE(messageTexts(messages), expected);
        QVERIFY(!QFile::exists(target()));
    }

    void succeedsOnThirdAttempt()
    {
        const QByteArray body = bodyOf(5000);
        server->serve(kServerPath,
            {TestHttpResponse::error(404), TestHttpResponse::error(404),
                TestHttpResponse::ok(body)});
        auto task = makeTask(body.size());
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        runUntilEnded(task.get());

        QCOMPARE(task->state(), int(STATE_FINISHED));
        QCOMPARE(task->retryCount(), 2);
        QCOMPARE(server->requestCount(kServerPath), 3);
        QCOMPARE(readAll(target()), body);
        QCOMPARE(messageTexts(messages),
            (QStringList {"Downloading sec/a.bin", "sec/a.bin returned 404",
                "sec/a.bin returned 404", "Downloading sec/a.bin finished"}));

        task->reset();
        QCOMPARE(task->retryCount(), 0);
        QCOMPARE(task->state(), int(STATE_IDLE));
    }

    void silenceAfterHeadersTimesOutAndRetries()
    {
        const QByteArray body = bodyOf(3000);
        server->serve(kServerPath,
            {TestHttpResponse::headersThenSilence(body.size()), TestHttpResponse::ok(body)});
        auto task = makeTask(body.size());
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        // Fast polls only while the server holds the silent first request
        // and it has not timed out (the only message until then is the
        // first); the second attempt runs without them.
        DownloadPoller poller(task.get(), 5,
            [&] { return server->requestCount(kServerPath) == 1 && messages.count() == 1; });
        task->execute();
        QTRY_VERIFY_WITH_TIMEOUT(task->state() != STATE_RUNNING, 20000);

        QCOMPARE(task->state(), int(STATE_FINISHED));
        QCOMPARE(server->requestCount(kServerPath), 2);
        QCOMPARE(messageTexts(messages),
            (QStringList {"Downloading sec/a.bin", "file sec/a.bin timed out",
                "Downloading sec/a.bin finished"}));
        QCOMPARE(readAll(target()), body);
        QVERIFY(poller.polls >= 16);
    }

    // A task whose request has reached a server that sends the body only
    // as the test feeds it.
    std::unique_ptr<DownloadTaskSpecification> startOnDemand(const QByteArray& body)
    {
        server->serve(kServerPath, TestHttpResponse::onDemand(body));
        auto task = makeTask(body.size());
        task->execute();
        if (!QTest::qWaitFor([&] { return server->requestCount(kServerPath) == 1; }, 10000))
            return nullptr;
        return task;
    }

    // Sends bytes more of an onDemand body and waits until the task has them,
    // so that what arrives between two polls is fixed, not timed.
    bool feed(DownloadTaskSpecification* task, qint64* sent, qint64 bytes, qint64 size)
    {
        if (bytes <= 0)
            return true;
        *sent += bytes;
        server->sendPiece(bytes);
        const qreal expected = kWeight * qreal(std::min(*sent, size)) / qreal(size);
        return QTest::qWaitFor(
            [&] {
                return task->state() != STATE_RUNNING || qFuzzyCompare(task->progress(), expected);
            },
            10000);
    }

    bool poll(DownloadTaskSpecification* task)
    {
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task->getDownloadProgress(&done, &total, &speed, &downloading);
        return downloading;
    }

    // 100 bytes between polls, a kilobyte in 11 polls, to the end of body:
    // slow, but within the stall rule.
    bool trickleToTheEnd(DownloadTaskSpecification* task, const QByteArray& body)
    {
        qint64 sent = 0;
        while (sent + 100 < body.size()) {
            if (!feed(task, &sent, 100, body.size()) || !poll(task))
                return false;
        }
        return feed(task, &sent, body.size() - sent, body.size())
            && QTest::qWaitFor([&] { return task->state() == STATE_FINISHED; }, 10000);
    }

    // A trickle of a few bytes between polls, below a kilobyte in all, counts
    // as no data, also after a first kilobyte that came at once.
    void stallTimeOutNeedsSixteenPollsWithoutAKilobyte_data()
    {
        QTest::addColumn<int>("first");
        QTest::addColumn<int>("perPoll");
        QTest::newRow("silence") << 0 << 0;
        QTest::newRow("trickle") << 0 << 60;
        QTest::newRow("a byte a poll after the first kilobyte") << 1500 << 1;
        QTest::newRow("a trickle after the first kilobytes") << 3000 << 60;
    }

    void stallTimeOutNeedsSixteenPollsWithoutAKilobyte()
    {
        QFETCH(int, first);
        QFETCH(int, perPoll);
        const QByteArray body = bodyOf(5000);
        auto task = startOnDemand(body);
        QVERIFY(task);
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        qint64 sent = 0;
        QVERIFY(feed(task.get(), &sent, first, body.size()));
        for (int i = 0; i < 15; ++i) {
            QVERIFY(feed(task.get(), &sent, perPoll, body.size()));
            QVERIFY(poll(task.get()));
        }
        QVERIFY(messages.isEmpty());
        QVERIFY(feed(task.get(), &sent, perPoll, body.size()));
        QVERIFY(!poll(task.get()));
        QCOMPARE(messageTexts(messages).last(), QStringLiteral("file sec/a.bin timed out"));
        QCOMPARE(task->retryCount(), 1);
        QCOMPARE(task->state(), int(STATE_RUNNING)); // the next attempt runs
        task->cancel();
    }

    // A retry owes the stall rule its own kilobyte, not the bytes of the
    // attempt before it.
    void retryStartsTheStallWindowAfresh()
    {
        const QByteArray body = bodyOf(5000);
        auto task = startOnDemand(body);
        QVERIFY(task);
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        qint64 sent = 0;
        QVERIFY(feed(task.get(), &sent, 3000, body.size()));
        for (int i = 0; i < 15; ++i)
            QVERIFY(poll(task.get()));
        QVERIFY(!poll(task.get()));
        QCOMPARE(messageTexts(messages).last(), QStringLiteral("file sec/a.bin timed out"));
        QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(kServerPath), 2, 10000);
        // A kilobyte within 11 polls, but not the 3000 bytes of the first
        // attempt within 16.
        QVERIFY(trickleToTheEnd(task.get(), body));
        QCOMPARE(task->retryCount(), 1);
        QCOMPARE(readAll(target()), body);
    }

    void silenceEveryTimeFailsWithoutLeavingAFile()
    {
        server->serve(kServerPath, TestHttpResponse::headersThenSilence(100));
        auto task = makeTask(100);
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        // Fast polls only while the server holds the current attempt's
        // request, which it never answers.
        const QString timedOut = QStringLiteral("file sec/a.bin timed out");
        runUntilEnded(task.get(), 2, [&] {
            return server->requestCount(kServerPath) > messageTexts(messages).count(timedOut);
        });
        QCOMPARE(task->state(), int(STATE_FAILED));
        QVERIFY(server->requestCount(kServerPath) >= kAttempts);
        QCOMPARE(messageTexts(messages).count(timedOut), kAttempts);
        QCOMPARE(messageTexts(messages).last(), QStringLiteral("Unable to download sec/a.bin"));
        QVERIFY(!QFile::exists(target()));
    }

    void bodyCutOffInTheMiddleIsFetchedAgain()
    {
        const QByteArray body = bodyOf(200000);
        server->serve(kServerPath,
            {TestHttpResponse::cutOff(body, body.size() / 2), TestHttpResponse::ok(body)});
        auto task = makeTask(body.size());
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        runUntilEnded(task.get());
        QCOMPARE(task->state(), int(STATE_FINISHED));
        QCOMPARE(server->requestCount(kServerPath), 2);
        QCOMPARE(readAll(target()), body);
        // The reason is the network module's own text; then a clean finish.
        QCOMPARE(messages.count(), 3);
        QCOMPARE(task->retryCount(), 1);
    }

    void bodyCutOffEveryTimeFailsWithoutLeavingAFile_data()
    {
        QTest::addColumn<TestHttpResponse>("response");
        // Each attempt's reason; empty where it is the network module's own.
        QTest::addColumn<QString>("reason");
        const QByteArray body = bodyOf(200000);
        const QString shortOfListed = QStringLiteral("sec/a.bin ended after 70000 of 200000 bytes");
        TestHttpResponse unannounced = TestHttpResponse::cutOff(body, 70000);
        unannounced.contentLength = -2;
        QTest::newRow("length announced") << TestHttpResponse::cutOff(body, 70000) << QString();
        // The close ends such a body without an error: only the listed size
        // tells it is cut.
        QTest::newRow("no length announced") << unannounced << shortOfListed;
        QTest::newRow("whole, but shorter than listed")
            << TestHttpResponse::ok(body.left(70000)) << shortOfListed;
    }

    void bodyCutOffEveryTimeFailsWithoutLeavingAFile()
    {
        QFETCH(TestHttpResponse, response);
        QFETCH(QString, reason);
        server->serve(kServerPath, response);
        auto task = makeTask(200000);
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        runUntilEnded(task.get());
        QCOMPARE(task->state(), int(STATE_FAILED));
        QVERIFY(server->requestCount(kServerPath) >= kAttempts);
        QCOMPARE(messageTexts(messages).last(), QStringLiteral("Unable to download sec/a.bin"));
        if (!reason.isEmpty())
            QCOMPARE(messageTexts(messages).count(reason), kAttempts);
        QVERIFY(!QFile::exists(target()));
    }

    // The network module ends a reply whose server closed the connection
    // short of the announced length now and then without an error; the
    // manager here does so every time.
    void cutBodyReportedWholeIsAFailedAttempt_data()
    {
        QTest::addColumn<qint64>("listedSize");
        QTest::addColumn<int>("cutReplies");
        QTest::newRow("product ini, cut every time") << qint64(-1) << kAttempts;
        QTest::newRow("listed file, cut every time") << qint64(2000) << kAttempts;
        QTest::newRow("listed file, cut once") << qint64(2000) << 1;
    }

    void cutBodyReportedWholeIsAFailedAttempt()
    {
        QFETCH(qint64, listedSize);
        QFETCH(int, cutReplies);
        const QByteArray body = bodyOf(2000);
        TestCutShortManager cutting(body, 1000, cutReplies);
        DownloadTaskSpecification task(
            &cutting, kPath, kVersion, target(), listedSize, nullptr, kWeight);
        QSignalSpy messages(&task, &TaskSpecification::message);
        runUntilEnded(&task);

        const QString reason = QStringLiteral("sec/a.bin ended after 1000 of 2000 bytes");
        QStringList expected {"Downloading sec/a.bin"};
        for (int i = 0; i < cutReplies; ++i)
            expected << reason;
        if (cutReplies < kAttempts) {
            expected << "Downloading sec/a.bin finished";
            QCOMPARE(task.state(), int(STATE_FINISHED));
            QCOMPARE(readAll(target()), body);
        } else {
            expected << "Unable to download sec/a.bin";
            QCOMPARE(task.state(), int(STATE_FAILED));
            QVERIFY(!QFile::exists(target()));
        }
        QCOMPARE(messageTexts(messages), expected);
        QCOMPARE(cutting.requests(), std::min(cutReplies + 1, kAttempts));
    }

    void bodyLargerThanListedFailsEachAttempt_data()
    {
        QTest::addColumn<qint64>("announced");
        QTest::addColumn<qint64>("sent");
        // -1: the real size is announced; -2: none, the body ends when the
        // connection closes. A body far larger than listed must be cut off
        // at the listed size, not read to its end.
        QTest::newRow("announced") << qint64(-1) << qint64(3000);
        QTest::newRow("not announced") << qint64(-2) << qint64(3000);
        QTest::newRow("not announced, endless") << qint64(-2) << qint64(1LL << 30);
        QTest::newRow("announced larger, body cut") << qint64(1LL << 40) << qint64(3000);
    }

    void bodyLargerThanListedFailsEachAttempt()
    {
        QFETCH(qint64, announced);
        QFETCH(qint64, sent);
        TestHttpResponse big = TestHttpResponse::pattern(sent);
        big.contentLength = announced;
        server->serve(kServerPath, big);
        auto task = makeTask(1000);
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        runUntilEnded(task.get());
        QCOMPARE(task->state(), int(STATE_FAILED));
        QVERIFY(server->requestCount(kServerPath) >= kAttempts);
        QStringList expected {"Downloading sec/a.bin"};
        for (int i = 0; i < kAttempts; ++i)
            expected << "sec/a.bin is larger than 1000 bytes";
        expected << "Unable to download sec/a.bin";
        QCOMPARE(messageTexts(messages), expected);
        QVERIFY(!QFile::exists(target()));
    }

    void encodedBodyFailsEachAttempt_data()
    {
        QTest::addColumn<QByteArray>("encoding");
        QTest::newRow("gzip") << QByteArray("gzip");
        QTest::newRow("deflate") << QByteArray("deflate");
    }

    void encodedBodyFailsEachAttempt()
    {
        QFETCH(QByteArray, encoding);
        // Inflated, the body would be the listed file itself.
        const QByteArray content = bodyOf(100000);
        server->serve(kServerPath, TestHttpResponse::encoded(qCompress(content).mid(4), encoding));
        auto task = makeTask(content.size());
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        runUntilEnded(task.get());
        QCOMPARE(task->state(), int(STATE_FAILED));
        QVERIFY(server->requestCount(kServerPath) >= kAttempts);
        QCOMPARE(server->requestHeader(0, "Accept-Encoding"), QByteArray("identity"));
        QStringList expected {"Downloading sec/a.bin"};
        for (int i = 0; i < kAttempts; ++i)
            expected << "sec/a.bin was sent encoded as " + QString::fromLatin1(encoding);
        expected << "Unable to download sec/a.bin";
        QCOMPARE(messageTexts(messages), expected);
        QVERIFY(!QFile::exists(target()));
    }

    void unknownSizeIsCappedFarAboveRealInis()
    {
        const qint64 limit = DownloadTaskSpecification::kUnknownSizeLimit;
        QVERIFY(limit >= 16LL * 1024 * 1024);
        TestHttpResponse endless = TestHttpResponse::pattern(limit + 4096);
        endless.contentLength = -2;
        TestHttpResponse announced = TestHttpResponse::headersThenSilence(limit + 1);
        const QByteArray ini = bodyOf(200000);
        server->serve(kServerPath, {endless, announced, TestHttpResponse::ok(ini)});
        auto task = makeTask(-1);
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        runUntilEnded(task.get());
        QCOMPARE(task->state(), int(STATE_FINISHED));
        const QString tooLarge = QStringLiteral("sec/a.bin is larger than %1 bytes").arg(limit);
        QCOMPARE(messageTexts(messages),
            (QStringList {
                "Downloading sec/a.bin", tooLarge, tooLarge, "Downloading sec/a.bin finished"}));
        QCOMPARE(readAll(target()), ini);
    }

    void slowTrickleDoesNotTimeOut()
    {
        const QByteArray body = bodyOf(4000);
        auto task = startOnDemand(body);
        QVERIFY(task);
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QVERIFY(trickleToTheEnd(task.get(), body));
        QCOMPARE(server->requestCount(kServerPath), 1);
        QCOMPARE(readAll(target()), body);
        QCOMPARE(messageTexts(messages), QStringList {"Downloading sec/a.bin finished"});
    }

    void unknownSizeTakesAnnouncedSize()
    {
        // Half the announced body in pieces, slowly enough that the reply
        // reports the announced size on the way, then silence.
        TestHttpResponse half = TestHttpResponse::trickle(bodyOf(1000), 100, 60);
        half.sendBytes = 500;
        half.stallAfterSending = true;
        const QByteArray second = bodyOf(2000, 'k');
        server->serve(kServerPath, {half, TestHttpResponse::ok(second)});
        auto task = makeTask(-1);
        task->execute();
        QTRY_COMPARE_WITH_TIMEOUT(task->progress(), kWeight * 0.5, 10000);
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task->getDownloadProgress(&done, &total, &speed, &downloading);
        QCOMPARE(done, quint64(500));
        QCOMPARE(total, quint64(1000));
        QCOMPARE(speed, quint64(500));
        QVERIFY(downloading);
        // Time the first attempt out; the second reply announces its own size.
        for (int i = 0; i < 16; ++i)
            task->getDownloadProgress(&done, &total, &speed, &downloading);
        QCOMPARE(task->progress(), 0.0);
        QTRY_COMPARE_WITH_TIMEOUT(task->state(), int(STATE_FINISHED), 10000);
        task->getDownloadProgress(&done, &total, &speed, &downloading);
        QCOMPARE(done, quint64(2000));
        QCOMPARE(total, quint64(2000));
        QCOMPARE(readAll(target()), second);
    }

    void zeroExpectedSizeReportsNoProgressBeforeTheEnd()
    {
        // An empty listed file: the size is not taken from the reply, and
        // any byte at all would be more than listed.
        server->serve(kServerPath, TestHttpResponse::ok(QByteArray()));
        auto task = makeTask(0);
        QSignalSpy progress(task.get(), &TaskSpecification::updateProgress);
        runUntilEnded(task.get());
        QCOMPARE(task->state(), int(STATE_FINISHED));
        QVERIFY(!progress.isEmpty());
        for (int i = 0; i + 1 < progress.count(); ++i)
            QCOMPARE(progress.at(i).at(0).toReal(), 0.0);
        QCOMPARE(progress.last().at(0).toReal(), kWeight);
        QVERIFY(QFile::exists(target()));
        QCOMPARE(QFileInfo(target()).size(), qint64(0));
    }

    void pollOfIdleTaskLeavesDownloadingFlag()
    {
        auto task = makeTask(77);
        for (bool flag : {true, false}) {
            quint64 done = 9, total = 9, speed = 9;
            bool downloading = flag;
            task->getDownloadProgress(&done, &total, &speed, &downloading);
            QCOMPARE(done, quint64(0));
            QCOMPARE(total, quint64(77));
            QCOMPARE(speed, quint64(0));
            QCOMPARE(downloading, flag);
        }
        auto unknown = makeTask(-1);
        quint64 done = 9, total = 9, speed = 9;
        bool downloading = false;
        unknown->getDownloadProgress(&done, &total, &speed, &downloading);
        QCOMPARE(total, quint64(0));
    }

    void cancelOfIdleTaskOnlySetsFlag()
    {
        auto task = makeTask(10);
        QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
        task->cancel();
        QVERIFY(task->isCanceled());
        QCOMPARE(task->state(), int(STATE_IDLE));
        QCOMPARE(canceled.count(), 0);
    }

    void cancelStopsTransferAndRemovesPartialFile()
    {
        TestHttpResponse partial = TestHttpResponse::cutOff(bodyOf(100000), 30000);
        partial.stallAfterSending = true;
        server->serve(kServerPath, partial);
        auto task = makeTask(100000);
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
        task->execute();
        QTRY_VERIFY_WITH_TIMEOUT(task->progress() > 0, 10000);
        QVERIFY(QFile::exists(target()));
        task->cancel();
        QCOMPARE(task->state(), int(STATE_CANCELED));
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(messages.count(), 1); // only "Downloading sec/a.bin"
        QVERIFY(!QFile::exists(target()));
        QTRY_COMPARE_WITH_TIMEOUT(server->activeRequests(), 0, 10000);
    }

    void abortStopsTransferAndFails()
    {
        server->serve(kServerPath, TestHttpResponse::headersThenSilence(1000));
        auto task = makeTask(1000);
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
        task->execute();
        QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(kServerPath), 1, 10000);
        task->abort(nullptr);
        QCOMPARE(task->state(), int(STATE_FAILED));
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(messageTexts(messages),
            (QStringList {"Downloading sec/a.bin", "Abort downloading sec/a.bin"}));
        QVERIFY(!QFile::exists(target()));
        QTRY_COMPARE_WITH_TIMEOUT(server->activeRequests(), 0, 10000);
    }

    void uncreatableTargetFailsAtOnce()
    {
        const QString file = dir->filePath(QStringLiteral("missing/dir/a.bin"));
        auto task = makeTask(10, file);
        QSignalSpy errors(task.get(), &TaskSpecification::error);
        QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
        task->execute();
        QCOMPARE(task->state(), int(STATE_FAILED));
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(errors.count(), 1);
        QCOMPARE(errors.at(0).at(0).toString(),
            QStringLiteral("Unable to create file %1 for saving").arg(file));
        QTest::qWait(50);
        QCOMPARE(server->totalRequests(), 0);
    }

    void resetAllowsAFreshRun()
    {
        const QByteArray body = bodyOf(4000);
        server->serve(kServerPath, TestHttpResponse::ok(body));
        auto task = makeTask(body.size());
        runUntilEnded(task.get());
        QCOMPARE(task->state(), int(STATE_FINISHED));
        QSignalSpy progress(task.get(), &TaskSpecification::updateProgress);
        task->reset();
        QCOMPARE(task->state(), int(STATE_IDLE));
        QCOMPARE(task->progress(), 0.0);
        QVERIFY(!progress.isEmpty());
        runUntilEnded(task.get());
        QCOMPARE(task->state(), int(STATE_FINISHED));
        QCOMPARE(server->requestCount(kServerPath), 2);
        QCOMPARE(readAll(target()), body);
    }

    void startsWhenAnotherDownloadOfTheManagerEnds()
    {
        const QByteArray body = bodyOf(2000);
        server->serve(kServerPath, TestHttpResponse::ok(body));
        server->serve("/other", TestHttpResponse::ok("x"));
        auto task = makeTask(body.size());
        QVERIFY(connect(manager, SIGNAL(finished(QNetworkReply*)), task.get(),
            SLOT(onOtherDownloadFinished(QNetworkReply*))));
        std::unique_ptr<QNetworkReply> other(manager->get(QNetworkRequest(server->url("/other"))));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(target()).size() == body.size(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(task->state(), int(STATE_FINISHED), 10000);
        // The slot let go of the manager: the task's own end started nothing.
        QTest::qWait(50);
        QCOMPARE(server->requestCount(kServerPath), 1);
        QCOMPARE(readAll(target()), body);
    }

    void diskErrorsFailAttempts_data()
    {
        QTest::addColumn<int>("bodySize");
        QTest::addColumn<int>("limit");
        // A large body hits the limit while blocks are written; a small one
        // only when the file's buffer is flushed at the end.
        QTest::newRow("while writing") << 200000 << 65536;
        QTest::newRow("at the end") << 6000 << 4096;
    }

    void diskErrorsFailAttempts()
    {
        QFETCH(int, bodySize);
        QFETCH(int, limit);
        server->serve(kServerPath, TestHttpResponse::ok(bodyOf(bodySize)));
        auto task = makeTask(bodySize);
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        // A file size limit makes writes past it fail as on a full disk.
        rlimit old {};
        QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
        const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = old;
        small.rlim_cur = rlim_t(limit);
        QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
        runUntilEnded(task.get());
        setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);

        QCOMPARE(task->state(), int(STATE_FAILED));
        QVERIFY(server->requestCount(kServerPath) >= kAttempts);
        QCOMPARE(messageTexts(messages).size(), 7);
        QCOMPARE(messageTexts(messages).last(), QStringLiteral("Unable to download sec/a.bin"));
        QVERIFY(!QFile::exists(target()));
    }

    void largeDownloadKeepsMemoryFlat()
    {
        // Big enough that buffering the body would show, small enough to
        // stay quick; the benchmark measures a 1 GiB file. A sanitizer's
        // allocator keeps freed memory in quarantine, so there the resident
        // set says nothing about the download and only the content counts.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
        constexpr qint64 size = 16LL * 1024 * 1024;
        constexpr bool measure = false;
#else
        constexpr qint64 size = 96LL * 1024 * 1024;
        constexpr bool measure = true;
#endif
        server->serve(kServerPath, TestHttpResponse::pattern(size));
        auto task = makeTask(size);
        const qint64 before = residentBytes();
        qint64 peak = before;
        QTimer sampler;
        connect(&sampler, &QTimer::timeout, [&] { peak = std::max(peak, residentBytes()); });
        sampler.start(5);
        runUntilEnded(task.get());
        sampler.stop();
        QCOMPARE(task->state(), int(STATE_FINISHED));
        QCOMPARE(QFileInfo(target()).size(), size);
        QFile file(target());
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCryptographicHash hash(QCryptographicHash::Sha512);
        QVERIFY(hash.addData(&file));
        QCOMPARE(hash.result().toHex(), TestHttpServer::patternSha512Hex(size));
        const qint64 growth = peak - before;
        qInfo() << "resident set grew by" << growth / 1024 << "KiB";
        if (measure)
            QVERIFY2(growth < 24LL * 1024 * 1024, qPrintable(QString::number(growth)));
    }
};

QTEST_GUILESS_MAIN(TestDownloadTaskSpecification)
#include "tst_downloadtaskspecification.moc"
