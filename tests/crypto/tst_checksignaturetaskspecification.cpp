#include "checksignaturetaskspecification.h"
#include "cryptwrapper.h"
#include "filedigest.h"
#include "productinipublickey.h"
#include "rsakeyrelease.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString emptySha512
    = QStringLiteral("cf83e1357eefb8bdf1542850d66d8007d620e4050b5715dc83f4a921d36ce9ce"
                     "47d0d13c5d85f2b0ff8318d2877eec2f63b931bd47417a81a538327af927da3e");

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

QString sha512Of(const QByteArray& content)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(content, QCryptographicHash::Sha512).toHex());
}

QByteArray signWith(const char* privateKeyFile, const QByteArray& data)
{
    rsa_key key;
    rsaImportKeyFile(&key, privateKeyFile);
    RsaKeyRelease release(&key);
    unsigned char signature[256];
    unsigned long length = sizeof signature;
    rsaSign(&key, reinterpret_cast<const unsigned char*>(data.constData()),
        static_cast<unsigned long>(data.size()), signature, &length);
    return QByteArray(reinterpret_cast<const char*>(signature), static_cast<int>(length));
}

bool builtInKeyIsDevelopmentKey()
{
    QFile file(KV_DEV_PUBLIC_KEY);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QByteArray key = file.readAll();
    key.append(QByteArray(2048 - key.size(), '\0'));
    return key == QByteArray(reinterpret_cast<const char*>(productIniPublicKey), 2048);
}

// QSKIP ends only the function it is written in, so this stays a macro.
#define REQUIRE_DEVELOPMENT_KEY()                                                                  \
    if (!builtInKeyIsDevelopmentKey())                                                             \
    QSKIP("this build embeds another release key; the development key cannot sign for it")

// Runs a check to its end and records what it reported.
struct CheckRun
{
    CheckRun(const QString& file, const QString& hash, bool failTaskOnMismatch, qreal weight = 0.2)
        : task(file, hash, failTaskOnMismatch, nullptr, weight)
        , checkDone(&task, &CheckSignatureTaskSpecification::checkDone)
        , messages(&task, &TaskSpecification::message)
        , finished(&task, &TaskSpecification::finished)
        , canceled(&task, &TaskSpecification::canceled)
    {
        QObject::connect(&task, &CheckSignatureTaskSpecification::checkDone,
            [this](bool, CheckSignatureTaskSpecification* sender) {
                stateAtCheckDone = sender->state();
            });
        task.execute();
    }

    bool waitForEnd()
    {
        return QTest::qWaitFor([this] { return finished.count() + canceled.count() > 0; });
    }

    bool passed() const { return checkDone.count() == 1 && checkDone.at(0).at(0).toBool(); }

    QStringList messageTexts() const
    {
        QStringList texts;
        for (const QList<QVariant>& arguments : messages)
            texts << arguments.at(0).toString();
        return texts;
    }

    CheckSignatureTaskSpecification task;
    QSignalSpy checkDone;
    QSignalSpy messages;
    QSignalSpy finished;
    QSignalSpy canceled;
    int stateAtCheckDone = -1;
};

} // namespace

class TestCheckSignatureTask : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void matchingHashPasses();
    void hashComparisonIgnoresCase();
    void hashIsNotTrimmed();
    void emptyFile();
    void reportOnlyMismatchStillFinishes();
    void failingMismatchFailsTask();
    void missingFileFails();
    void checkDoneSeesTaskRunning();
    void resultAfterResetChangesNothing();

    void validSignaturePasses();
    void tamperedFileFailsSignature();
    void missingSignatureFileFails();
    void signatureOfWrongLengthFails();
    void signatureByOtherKeyFails();

private:
    QString path(const QString& name) const { return m_Dir.filePath(name); }

    QTemporaryDir m_Dir;
};

void TestCheckSignatureTask::initTestCase()
{
    QVERIFY(m_Dir.isValid());
    cryptInit();
}

void TestCheckSignatureTask::matchingHashPasses()
{
    const QByteArray content("installed file content");
    writeFile(path("a.bin"), content);
    QCOMPARE(sha512Hex(content), sha512Of(content));
    CheckRun run(path("a.bin"), sha512Of(content), true);
    QVERIFY(run.waitForEnd());
    QVERIFY(run.passed());
    QCOMPARE(run.task.state(), int(STATE_FINISHED));
    QCOMPARE(run.task.progress(), 0.2);
    QVERIFY(run.messages.isEmpty());
}

void TestCheckSignatureTask::hashComparisonIgnoresCase()
{
    const QByteArray content("mixed case");
    writeFile(path("case.bin"), content);
    CheckRun run(path("case.bin"), sha512Of(content).toUpper(), true);
    QVERIFY(run.waitForEnd());
    QVERIFY(run.passed());
}

void TestCheckSignatureTask::hashIsNotTrimmed()
{
    const QByteArray content("trim");
    writeFile(path("trim.bin"), content);
    CheckRun run(path("trim.bin"), sha512Of(content) + QLatin1Char(' '), true);
    QVERIFY(run.waitForEnd());
    QVERIFY(!run.passed());
}

void TestCheckSignatureTask::emptyFile()
{
    writeFile(path("empty.bin"), QByteArray());
    CheckRun pass(path("empty.bin"), emptySha512, true);
    QVERIFY(pass.waitForEnd());
    QVERIFY(pass.passed());
    CheckRun fail(path("empty.bin"), sha512Of("x"), true);
    QVERIFY(fail.waitForEnd());
    QVERIFY(!fail.passed());
}

void TestCheckSignatureTask::reportOnlyMismatchStillFinishes()
{
    writeFile(path("download.bin"), "downloaded");
    CheckRun run(path("download.bin"), sha512Of("expected"), false);
    QVERIFY(run.waitForEnd());
    QCOMPARE(run.checkDone.count(), 1);
    QCOMPARE(run.checkDone.at(0).at(0).toBool(), false);
    QCOMPARE(run.messageTexts(),
        QStringList() << QString("Signature check failed for %1").arg(path("download.bin")));
    QCOMPARE(run.task.state(), int(STATE_FINISHED));
    QCOMPARE(run.finished.count(), 1);
    QCOMPARE(run.task.progress(), 0.2);
}

void TestCheckSignatureTask::failingMismatchFailsTask()
{
    writeFile(path("result.bin"), "produced");
    CheckRun run(path("result.bin"), sha512Of("expected"), true);
    QVERIFY(run.waitForEnd());
    QCOMPARE(run.task.state(), int(STATE_FAILED));
    QCOMPARE(run.canceled.count(), 1);
    QCOMPARE(run.finished.count(), 0);
    QCOMPARE(run.task.progress(), 0.0);
    QCOMPARE(run.messageTexts().last(),
        QString("Signature check failed for %1").arg(path("result.bin")));
}

void TestCheckSignatureTask::missingFileFails()
{
    const QString missing = path("missing.bin");
    CheckRun run(missing, emptySha512, true);
    QVERIFY(run.waitForEnd());
    QCOMPARE(run.task.state(), int(STATE_FAILED));
    QCOMPARE(run.messageTexts(),
        QStringList() << QString("Could not open file %1 for reading").arg(missing)
                      << QString("Signature check failed for %1").arg(missing));
}

void TestCheckSignatureTask::checkDoneSeesTaskRunning()
{
    writeFile(path("running.bin"), "x");
    CheckRun fail(path("running.bin"), sha512Of("y"), true);
    QVERIFY(fail.waitForEnd());
    QCOMPARE(fail.stateAtCheckDone, int(STATE_RUNNING));
    CheckRun pass(path("running.bin"), sha512Of("x"), true);
    QVERIFY(pass.waitForEnd());
    QCOMPARE(pass.stateAtCheckDone, int(STATE_RUNNING));
}

void TestCheckSignatureTask::resultAfterResetChangesNothing()
{
    writeFile(path("reset.bin"), "x");
    CheckRun run(path("reset.bin"), sha512Of("y"), true);
    // reset() waits for the worker; its queued result then finds the task idle.
    run.task.reset();
    QTest::qWait(50);
    QCoreApplication::processEvents();
    QCOMPARE(run.task.state(), int(STATE_IDLE));
    QVERIFY(run.checkDone.isEmpty());
    QVERIFY(run.finished.isEmpty());
    QVERIFY(run.canceled.isEmpty());
}

void TestCheckSignatureTask::validSignaturePasses()
{
    REQUIRE_DEVELOPMENT_KEY();
    const QByteArray ini("[update_linux_x86]\nupdate=abc::3\n");
    writeFile(path("signed.ini"), ini);
    writeFile(path("signed.ini.sig"), signWith(KV_DEV_PRIVATE_KEY, ini));
    CheckRun run(path("signed.ini"), QString(), true, 0.1);
    QVERIFY(run.waitForEnd());
    QVERIFY(run.passed());
    QCOMPARE(run.task.state(), int(STATE_FINISHED));
}

void TestCheckSignatureTask::tamperedFileFailsSignature()
{
    REQUIRE_DEVELOPMENT_KEY();
    const QByteArray ini("[update_linux_x86]\nupdate=abc::3\n");
    writeFile(path("tampered.ini"), QByteArray(ini).replace("3", "4"));
    writeFile(path("tampered.ini.sig"), signWith(KV_DEV_PRIVATE_KEY, ini));
    CheckRun run(path("tampered.ini"), QString(), true);
    QVERIFY(run.waitForEnd());
    QVERIFY(!run.passed());
    QCOMPARE(run.task.state(), int(STATE_FAILED));
}

void TestCheckSignatureTask::missingSignatureFileFails()
{
    writeFile(path("unsigned.ini"), "[s]\n");
    CheckRun run(path("unsigned.ini"), QString(), true);
    QVERIFY(run.waitForEnd());
    QCOMPARE(run.task.state(), int(STATE_FAILED));
    QCOMPARE(run.messageTexts(),
        QStringList() << QString("Could not open file %1 for reading").arg(path("unsigned.ini.sig"))
                      << QString("Signature check failed for %1").arg(path("unsigned.ini")));
}

void TestCheckSignatureTask::signatureOfWrongLengthFails()
{
    REQUIRE_DEVELOPMENT_KEY();
    const QByteArray ini("[s]\nk=v\n");
    const QByteArray signature = signWith(KV_DEV_PRIVATE_KEY, ini);
    for (const QByteArray& wrong :
        {signature.left(127), signature + '\0', QByteArray(), signature + signature}) {
        writeFile(path("short.ini"), ini);
        writeFile(path("short.ini.sig"), wrong);
        CheckRun run(path("short.ini"), QString(), true);
        QVERIFY(run.waitForEnd());
        QVERIFY(!run.passed());
        QCOMPARE(run.task.state(), int(STATE_FAILED));
    }
}

void TestCheckSignatureTask::signatureByOtherKeyFails()
{
    rsa_key other;
    rsaMakeKey(&other);
    RsaKeyRelease release(&other);
    const QString otherKeyFile = path("other.priv");
    rsaExportKeyFile(&other, PK_PRIVATE, otherKeyFile.toLocal8Bit().constData());
    const QByteArray ini("[s]\nk=v\n");
    writeFile(path("other.ini"), ini);
    writeFile(path("other.ini.sig"), signWith(otherKeyFile.toLocal8Bit().constData(), ini));
    CheckRun run(path("other.ini"), QString(), true);
    QVERIFY(run.waitForEnd());
    QVERIFY(!run.passed());
}

QTEST_GUILESS_MAIN(TestCheckSignatureTask)
#include "tst_checksignaturetaskspecification.moc"
