#include "configuration.h"
#include "cryptwrapper.h"
#include "maintaskspecification.h"
#include "releasesigning.h"
#include "testhttpserver.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QtTest>

#include "compressedfile.h"
#include "enginetesthelpers.h"

#include <memory>

namespace {

// The packed form and the signature of a product ini, as a release has them.
bool packAndSign(const QByteArray& ini, QByteArray* packed, QByteArray* signature)
{
    QTemporaryDir dir;
    const QString in = dir.path() + "/ini";
    const QString out = dir.path() + "/packed";
    std::string error;
    if (!writeFile(in, ini) || !kvpatch::CompressFile(in.toStdString(), out.toStdString(), 0)
        || !signReleaseFile(KV_DEV_PRIVATE_KEY, in.toStdString(), &error))
        return false;
    QFile packedFile(out);
    QFile signatureFile(in + ".sig");
    if (!packedFile.open(QIODevice::ReadOnly) || !signatureFile.open(QIODevice::ReadOnly))
        return false;
    *packed = packedFile.readAll();
    *signature = signatureFile.readAll();
    return true;
}

QStringList classNames(const QList<TaskSpecification*>& tasks)
{
    QStringList names;
    for (TaskSpecification* task : tasks)
        names << QString::fromLatin1(task->metaObject()->className());
    return names;
}

} // namespace

class TestMainTaskSpecification : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<PrivateSystemTemp> m_Temp;
    std::unique_ptr<TestHttpServer> m_Server;
    std::unique_ptr<QNetworkAccessManager> m_Manager;
    std::unique_ptr<Configuration> m_Config;

    // Serves a release of one file that the installation already holds, so
    // that every phase runs and none has work to do; or, when it is not
    // installed, whose one file the server does not have.
    void serveCurrentRelease(bool installed = true)
    {
        const QString ini
            = m_Config->m_ClientUpdate ? "kv3_client_linux_x86.ini" : "update_linux_x86.ini";
        const QByteArray readme = "current\n";
        if (installed)
            QVERIFY(writeFile(m_Config->m_InstallDir + "/readme.txt", readme));
        const QByteArray content = "[files]\nreadme.txt=" + TestHttpServer::sha512Hex(readme)
            + "::" + QByteArray::number(readme.size()) + "\n";
        QByteArray packed;
        QByteArray signature;
        QVERIFY(packAndSign(content, &packed, &signature));
        m_Server->serve("/7/" + ini + "._lzma2_", TestHttpResponse::ok(packed));
        m_Server->serve("/7/" + ini + ".sig", TestHttpResponse::ok(signature));
    }

private slots:
    void initTestCase() { cryptInit(); }

    void init()
    {
        m_Temp = std::make_unique<PrivateSystemTemp>();
        m_Server = std::make_unique<TestHttpServer>();
        QVERIFY(m_Server->listen());
        updateBaseUrl = m_Server->url("/");
        m_Manager = std::make_unique<QNetworkAccessManager>();
        m_Config = std::make_unique<Configuration>();
        m_Config->m_Version = 7;
        QVERIFY(m_Config->createTempDir());
        m_Config->m_InstallDir = m_Temp->path() + "/install";
        QVERIFY(QDir().mkpath(m_Config->m_InstallDir));
    }

    void cleanup()
    {
        m_Config.reset();
        m_Manager.reset();
        m_Server.reset();
        m_Temp.reset();
    }

    void phasesOfEachStage_data()
    {
        QTest::addColumn<int>("clientUpdate");
        QTest::addColumn<QStringList>("children");
        QTest::addColumn<QList<qreal>>("weights");
        QTest::addColumn<qreal>("top");
        const QStringList head
            = {"IniDownloadTaskSpecification", "MakeDownloadReplaceListTaskSpecification",
                "DownloadFileListTaskSpecification", "PrePostInstallListTaskSpecification"};
        QTest::newRow("stage two") << 1
                                   << head
                + QStringList {"FileReplaceListTaskSpecification",
                    "FileDeleteListTaskSpecification", "PrePostInstallListTaskSpecification"}
                                   << QList<qreal> {0.1, 0.05, 0.4, 0.1, 0.4, 0.05, 0.1} << 1.2;
        QTest::newRow("stage one") << 0
                                   << head
                + QStringList {"UpdateSelfUnzipTaskSpecification",
                    "PrePostInstallListTaskSpecification"}
                                   << QList<qreal> {0.1, 0.05, 0.4, 0.1, 0.4, 0.1} << 1.15;
    }

    // A complete run of a release that changes nothing: the phases in order, the
    // progress climbing to the sum of the weights and ending at 1.0.
    void phasesOfEachStage()
    {
        QFETCH(int, clientUpdate);
        QFETCH(QStringList, children);
        QFETCH(QList<qreal>, weights);
        QFETCH(qreal, top);
        m_Config->m_ClientUpdate = clientUpdate;
        serveCurrentRelease();
        MainTaskSpecification root(m_Manager.get(), m_Config.get(), nullptr, 1.0);
        QSignalSpy progress(&root, &TaskSpecification::updateProgress);
        QSignalSpy messages(&root, &TaskSpecification::message);
        QSignalSpy finished(&root, &TaskSpecification::finished);
        QSignalSpy canceled(&root, &TaskSpecification::canceled);
        root.execute();
        QCOMPARE(classNames(root.subtasks()), children);
        for (int i = 0; i < weights.size(); ++i) {
            QCOMPARE(root.subtasks().at(i)->weight(), weights.at(i));
            QCOMPARE(root.subtasks().at(i)->parent(), &root);
        }
        QTRY_COMPARE_WITH_TIMEOUT(finished.count() + canceled.count(), 1, 30000);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(root.state(), int(STATE_FINISHED));
        QCOMPARE(messages.at(0).at(0).toString(),
            QString("Starting update process for ") + (clientUpdate ? "client" : "updater"));
        qreal highest = 0;
        for (const QList<QVariant>& args : progress)
            highest = std::max(highest, args.at(0).toReal());
        QVERIFY(qAbs(highest - top) < 1e-9);
        QCOMPARE(progress.last().at(0).toReal(), 1.0);
        QVERIFY(qAbs(progress.at(progress.size() - 2).at(0).toReal() - top) < 1e-9);
    }

    void failedProductIniStopsTheRun()
    {
        m_Config->m_ClientUpdate = 1;
        MainTaskSpecification root(m_Manager.get(), m_Config.get(), nullptr, 1.0);
        QSignalSpy canceled(&root, &TaskSpecification::canceled);
        root.execute();
        QTRY_VERIFY_WITH_TIMEOUT(!canceled.isEmpty(), 30000);
        QCOMPARE(root.state(), int(STATE_FAILED));
        for (int i = 1; i < root.subtasks().size(); ++i)
            QCOMPARE(root.subtasks().at(i)->state(), int(STATE_IDLE));
        // Nothing asked the server for anything after the product ini.
        for (const QString& path : m_Server->requestedPaths())
            QVERIFY2(path.startsWith("/7/kv3_client_linux_x86.ini"), qPrintable(path));
    }

    void resetEmptiesChildrenAndLists()
    {
        m_Config->m_ClientUpdate = 1;
        serveCurrentRelease(false);
        MainTaskSpecification root(m_Manager.get(), m_Config.get(), nullptr, 1.0);
        QSignalSpy canceled(&root, &TaskSpecification::canceled);
        root.execute();
        QTRY_VERIFY_WITH_TIMEOUT(!canceled.isEmpty(), 30000);
        QCOMPARE(root.lists().downloadList.size(), 1);
        root.reset();
        QVERIFY(root.subtasks().isEmpty());
        QCOMPARE(root.state(), int(STATE_IDLE));
        QVERIFY(root.lists().downloadList.isEmpty());
    }
};

QTEST_MAIN(TestMainTaskSpecification)
#include "tst_maintaskspecification.moc"
