#include "crc32.h"
#include "cryptwrapper.h"
#include "filetaskstesthelpers.h"
#include "inidownloadtaskspecification.h"
#include "kvdiff.h"
#include "lzmaio.h"
#include "productinipublickey.h"
#include "rsakeyrelease.h"
#include "sinkstream.h"
#include "streamset.h"
#include "testhttpserver.h"

#include <QNetworkAccessManager>
#include <QTemporaryDir>

#include <memory>

#include <sys/mman.h>

namespace {

// A container of `size` zeros, packed by the engine's own writer: a few KiB
// that stand for all of them. The zeros are untouched anonymous pages, so
// making it takes no memory of their size.
QByteArray zerosContainer(size_t size)
{
    void* zeros = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (zeros == MAP_FAILED)
        return QByteArray();
    const auto* bytes = static_cast<const uint8_t*>(zeros);
    kvpatch::SinkStream out;
    const bool ok = kvpatch::WriteCompressedFileHeader(&out, kvpatch::ComputeCrc32(bytes, size))
        && out.WriteVarint32(kvpatch::kDirectivePlain)
        && kvpatch::Lzma2EncodeBuffer(bytes, size, &out, 1 << 20);
    ::munmap(zeros, size);
    return ok ? QByteArray(reinterpret_cast<const char*>(out.Buffer()), int(out.Length()))
              : QByteArray();
}

// `content` packed in the programs' form: an empty encoded program (image
// base and every count 0) and a diff from its empty assembly to the content.
// The release writer packs text only in the plain form.
QByteArray programFormContainer(const QByteArray& content)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(content.constData());
    kvpatch::SinkStreamSet program;
    program.Init(9);
    bool ok = program.Stream(0)->Write("\0\0", 2);
    for (uint32_t i = 1; i < 8; ++i)
        ok = ok && program.Stream(i)->Write("\0", 1);
    kvpatch::SinkStreamSet body;
    body.Init(2);
    kvpatch::SourceStream nothing;
    kvpatch::SourceStream fresh(bytes, size_t(content.size()));
    ok = ok && program.WriteAll(body.Stream(0))
        && kvpatch::GenerateDiff(&nothing, &fresh, body.Stream(1), false, kvpatch::DiffRaw);
    kvpatch::SinkStream all;
    kvpatch::SinkStream out;
    ok = ok && body.WriteAll(&all)
        && kvpatch::WriteCompressedFileHeader(
            &out, kvpatch::ComputeCrc32(bytes, size_t(content.size())))
        && out.WriteVarint32(kvpatch::kDirectiveDisAndDiff)
        && kvpatch::Lzma2EncodeBuffer(all.Buffer(), all.Length(), &out);
    return ok ? QByteArray(reinterpret_cast<const char*>(out.Buffer()), int(out.Length()))
              : QByteArray();
}

// A field of /proc/self/status in KiB.
qint64 statusKiB(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// How far the resident memory rose above its level at the start while
// `work` ran. The peak is reset first where the kernel allows, so that what
// came before does not count.
template<typename Work> qint64 peakGrowthKiB(Work work)
{
    QFile clear(QStringLiteral("/proc/self/clear_refs"));
    const bool reset = clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
    clear.close();
    const qint64 start = reset ? statusKiB("VmRSS:") : statusKiB("VmHWM:");
    work();
    return statusKiB("VmHWM:") - start;
}

} // namespace

// The product-ini download against a file server on 127.0.0.1, with an ini
// signed by the development key.
class TestIniDownload : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_Dir;
    std::unique_ptr<TestHttpServer> m_Server;
    std::unique_ptr<QNetworkAccessManager> m_Manager;
    Configuration m_Config;
    QByteArray m_Ini = "[client]\nkv3client_linux_x86=00::1\n";

    QString temp(const QString& name) const
    {
        return m_Dir->filePath(QStringLiteral("temp/") + name);
    }
    QString served(const QString& name) const { return QStringLiteral("/base/42/") + name; }

    static QByteArray sign(const QByteArray& data)
    {
        rsa_key key;
        rsaImportKeyFile(&key, KV_DEV_PRIVATE_KEY);
        RsaKeyRelease release(&key);
        unsigned char signature[256];
        unsigned long length = sizeof signature;
        rsaSign(&key, reinterpret_cast<const unsigned char*>(data.constData()),
            static_cast<unsigned long>(data.size()), signature, &length);
        return QByteArray(reinterpret_cast<const char*>(signature), int(length));
    }

    static bool builtInKeyIsDevelopmentKey()
    {
        QByteArray key = readFile(QStringLiteral(KV_DEV_PUBLIC_KEY));
        key.append(QByteArray(2048 - key.size(), '\0'));
        return key == QByteArray(reinterpret_cast<const char*>(productIniPublicKey), 2048);
    }

    QByteArray packed(const QByteArray& ini)
    {
        writeFile(m_Dir->filePath(QStringLiteral("plain_ini")), ini);
        packFile(m_Dir->filePath(QStringLiteral("plain_ini")),
            m_Dir->filePath(QStringLiteral("packed_ini")));
        return readFile(m_Dir->filePath(QStringLiteral("packed_ini")));
    }

    struct Run
    {
        QStringList messages;
        int state;
        QList<qreal> weights;
    };

    Run run()
    {
        IniDownloadTaskSpecification task(m_Manager.get(), &m_Config, nullptr, 0.1);
        QSignalSpy messages(&task, &TaskSpecification::message);
        // The engine's once-a-second poll drives the downloads' stall count.
        // No row here is about a stall: a faster poll would only let a
        // network thread held back for a moment end an attempt.
        QTimer poll;
        connect(&poll, &QTimer::timeout, &task, [&task] {
            quint64 done = 0, total = 0, speed = 0;
            bool downloading = false;
            task.getDownloadProgress(&done, &total, &speed, &downloading);
        });
        poll.start(1000);
        const bool ended = runTask(&task, 30000);
        Run result {messageTexts(messages), ended ? task.state() : -1, {}};
        for (TaskSpecification* child : task.subtasks())
            result.weights << child->weight();
        return result;
    }

private slots:
    void initTestCase()
    {
        cryptInit();
        if (!builtInKeyIsDevelopmentKey())
            QSKIP("this build embeds another release key; the development key cannot sign for it");
    }

    void init()
    {
        m_Dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_Dir->isValid());
        QDir().mkdir(m_Dir->filePath(QStringLiteral("temp")));
        m_Server = std::make_unique<TestHttpServer>();
        m_Manager = std::make_unique<QNetworkAccessManager>();
        QVERIFY(m_Server->listen());
        updateBaseUrl = m_Server->url(QStringLiteral("/base/"));
        m_Config.m_ClientUpdate = 1;
        m_Config.m_Version = 42;
        m_Config.m_TempDir = m_Dir->filePath(QStringLiteral("temp"));
        m_Server->serve(served(QStringLiteral("kv3_client_linux_x86.ini._lzma2_")),
            TestHttpResponse::ok(packed(m_Ini)));
        m_Server->serve(served(QStringLiteral("kv3_client_linux_x86.ini.sig")),
            TestHttpResponse::ok(sign(m_Ini)));
        m_Server->serve(served(QStringLiteral("update_linux_x86.ini._lzma2_")),
            TestHttpResponse::ok(packed(m_Ini)));
        m_Server->serve(
            served(QStringLiteral("update_linux_x86.ini.sig")), TestHttpResponse::ok(sign(m_Ini)));
    }

    void cleanup()
    {
        m_Manager.reset();
        m_Server.reset();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }

    void fetchesUnpacksAndVerifies_data()
    {
        QTest::addColumn<int>("stage");
        QTest::addColumn<QString>("ini");
        QTest::newRow("stage two") << 1 << "kv3_client_linux_x86.ini";
        QTest::newRow("stage one") << 0 << "update_linux_x86.ini";
    }

    void fetchesUnpacksAndVerifies()
    {
        QFETCH(int, stage);
        QFETCH(QString, ini);
        m_Config.m_ClientUpdate = stage;
        const Run result = run();
        QCOMPARE(result.state, int(STATE_FINISHED));
        QCOMPARE(result.messages.value(0), QStringLiteral("Download / check product ini"));
        QCOMPARE(readFile(temp(ini)), m_Ini);
        QCOMPARE(m_Server->requestedPaths(),
            (QStringList {
                served(ini + QStringLiteral("._lzma2_")), served(ini + QStringLiteral(".sig"))}));
        QCOMPARE(result.weights.size(), 4);
        QCOMPARE(result.weights.at(0), 0.3333);
        QCOMPARE(result.weights.at(2), 0.3333);
        QVERIFY(qAbs(result.weights.at(3) - 0.3334) < 1e-9);
    }

    void presentFilesAreReused_data()
    {
        QTest::addColumn<bool>("withSignature");
        QTest::addColumn<int>("requests");
        QTest::addColumn<qreal>("checkWeight");
        QTest::newRow("ini and signature") << true << 0 << 1.0;
        QTest::newRow("ini only") << false << 1 << 0.6667;
    }

    void presentFilesAreReused()
    {
        QFETCH(bool, withSignature);
        QFETCH(int, requests);
        QFETCH(qreal, checkWeight);
        writeFile(temp(QStringLiteral("kv3_client_linux_x86.ini")), m_Ini);
        if (withSignature)
            writeFile(temp(QStringLiteral("kv3_client_linux_x86.ini.sig")), sign(m_Ini));
        const Run result = run();
        QCOMPARE(result.state, int(STATE_FINISHED));
        QCOMPARE(m_Server->totalRequests(), requests);
        QVERIFY(qAbs(result.weights.last() - checkWeight) < 1e-9);
    }

    // A file that fails the check is removed with the others, so that the
    // next run fetches all of them afresh instead of failing again.
    void failedCheckRemovesTheFiles_data()
    {
        QTest::addColumn<QString>("case_");
        QTest::newRow("present ini, bad signature") << "bad present";
        QTest::newRow("fetched, signature of other data") << "bad fetched";
        QTest::newRow("empty signature") << "empty";
        QTest::newRow("signature missing on the server") << "missing";
    }

    void failedCheckRemovesTheFiles()
    {
        QFETCH(QString, case_);
        const QString ini = temp(QStringLiteral("kv3_client_linux_x86.ini"));
        if (case_ == QLatin1String("bad present")) {
            writeFile(ini, m_Ini);
            writeFile(ini + QStringLiteral(".sig"), sign("other"));
        } else if (case_ == QLatin1String("bad fetched")) {
            m_Server->serve(served(QStringLiteral("kv3_client_linux_x86.ini.sig")),
                TestHttpResponse::ok(sign("other")));
        } else if (case_ == QLatin1String("empty")) {
            m_Server->serve(
                served(QStringLiteral("kv3_client_linux_x86.ini.sig")), TestHttpResponse::ok(""));
        } else {
            m_Server->serve(served(QStringLiteral("kv3_client_linux_x86.ini.sig")),
                TestHttpResponse::error(404));
        }
        const Run result = run();
        QCOMPARE(result.state, int(STATE_FAILED));
        if (case_ == QLatin1String("missing")) {
            QVERIFY2(result.messages.last().startsWith(QStringLiteral("Unable to download")),
                qPrintable(result.messages.join(QLatin1Char('\n'))));
            QVERIFY(!QFileInfo::exists(temp(QStringLiteral("kv3_client_linux_x86.ini.sig"))));
            return;
        }
        const int failed
            = result.messages.indexOf(QStringLiteral("Signature check failed for %1").arg(ini));
        QVERIFY(failed > 0);
        QCOMPARE(result.messages.at(failed + 1),
            QStringLiteral("Could not verify the product ini file. Aborting"));
        QVERIFY(!QFileInfo::exists(ini));
        QVERIFY(!QFileInfo::exists(ini + QStringLiteral(".sig")));
        QVERIFY(!QFileInfo::exists(ini + QStringLiteral("._lzma2_")));

        // The next run starts afresh and succeeds once the server is right.
        m_Server->serve(served(QStringLiteral("kv3_client_linux_x86.ini.sig")),
            TestHttpResponse::ok(sign(m_Ini)));
        QCOMPARE(run().state, int(STATE_FINISHED));
        QCOMPARE(readFile(ini), m_Ini);
    }

    void refusedPackedIniIsNotBuilt_data()
    {
        QTest::addColumn<QByteArray>("container");
        // More than any ini could be.
        QTest::newRow("oversized")
            << zerosContainer(IniDownloadTaskSpecification::kRestoredIniLimit + 1);
        // The ini is text: in any form but the plain one it is refused
        // before anything of it is decoded, however well it would restore.
        QTest::newRow("program form") << programFormContainer(m_Ini);
    }

    // A packed ini that the unpack refuses is not built, and nothing of it
    // is kept.
    void refusedPackedIniIsNotBuilt()
    {
        QFETCH(QByteArray, container);
        QVERIFY(!container.isEmpty());
        QVERIFY(container.size() < 64 * 1024);
        m_Server->serve(served(QStringLiteral("kv3_client_linux_x86.ini._lzma2_")),
            TestHttpResponse::ok(container));
        Run result;
        const qint64 growth = peakGrowthKiB([&] { result = run(); });
        QCOMPARE(result.state, int(STATE_FAILED));
        const QString ini = temp(QStringLiteral("kv3_client_linux_x86.ini"));
        QCOMPARE(result.messages.last(),
            QStringLiteral("Could not unpack '%1' to '%2'")
                .arg(ini + QStringLiteral("._lzma2_"), ini));
        QVERIFY(!QFileInfo::exists(ini));
        QVERIFY(!QFileInfo::exists(ini + QStringLiteral("._lzma2_")));
        QCOMPARE(QDir(temp(QString())).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
            QStringList());
        QCOMPARE(m_Server->totalRequests(), 1);
        const qint64 limitKiB = IniDownloadTaskSpecification::kRestoredIniLimit / 1024;
        QVERIFY2(growth < limitKiB / 2, qPrintable(QString::number(growth)));
    }

    void corruptPackedIniFails()
    {
        m_Server->serve(served(QStringLiteral("kv3_client_linux_x86.ini._lzma2_")),
            TestHttpResponse::ok("not a container"));
        const Run result = run();
        QCOMPARE(result.state, int(STATE_FAILED));
        QVERIFY(result.messages.contains(
            QStringLiteral("Could not unpack '%1' to '%2'")
                .arg(temp(QStringLiteral("kv3_client_linux_x86.ini._lzma2_")),
                    temp(QStringLiteral("kv3_client_linux_x86.ini")))));
        // The signature is not fetched after the failure.
        QCOMPARE(m_Server->totalRequests(), 1);
    }
};

QTEST_GUILESS_MAIN(TestIniDownload)
#include "tst_inidownload.moc"
