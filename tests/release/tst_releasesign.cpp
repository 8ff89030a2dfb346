#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>

namespace {

struct Run
{
    int exitCode = -1;
    QString output; // standard output and error together
};

Run run(const QString& program, const QStringList& args)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, args);
    Run result;
    if (!process.waitForFinished(60000))
        return result;
    result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.output = QString::fromUtf8(process.readAll());
    return result;
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

int mode(const QString& path)
{
    struct stat info;
    return stat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777) : -1;
}

} // namespace

class TestReleaseSign : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void keyPairSignAndVerify();
    void genkeyWritesNothingUnlessBothKeysFit();
    void plainWordsForBadInput_data();
    void plainWordsForBadInput();
    void fullDiskKeepsEarlierFiles_data();
    void fullDiskKeepsEarlierFiles();

private:
    QString path(const QString& name) const { return m_Dir->filePath(name); }
    QString m_Tool;
    QString m_Keys;
    QTemporaryDir* m_Dir = nullptr;
};

void TestReleaseSign::initTestCase()
{
    m_Tool = qEnvironmentVariable("KV_RELEASE_SIGN");
    m_Keys = qEnvironmentVariable("KV_SOURCE_DIR") + "/keys/";
    if (m_Tool.isEmpty())
        QSKIP("KV_RELEASE_SIGN is not set (run through ctest)");
    // The key modes below are checked under the common umask.
    umask(022);
}

void TestReleaseSign::init()
{
    m_Dir = new QTemporaryDir;
    QVERIFY(m_Dir->isValid());
}

void TestReleaseSign::cleanup()
{
    delete m_Dir;
    m_Dir = nullptr;
}

void TestReleaseSign::keyPairSignAndVerify()
{
    QCOMPARE(run(m_Tool, {"genkey", path("k.priv"), path("k.pub")}).exitCode, 0);
    QCOMPARE(mode(path("k.priv")), 0600);
    QCOMPARE(mode(path("k.pub")), 0644);
    QCOMPARE(readFile(path("k.priv")).size(), 2048);
    QVERIFY(writeFile(path("product.ini"), "[client]\nfile=abc::3\n"));
    QCOMPARE(run(m_Tool, {"sign", path("k.priv"), path("product.ini")}).exitCode, 0);
    QCOMPARE(mode(path("product.ini.sig")), 0644);
    const Run valid = run(m_Tool, {"verify", path("k.pub"), path("product.ini")});
    QCOMPARE(valid.exitCode, 0);
    QCOMPARE(valid.output, QString("valid\n"));
    // The repository's development key does not match this signature.
    const Run other
        = run(m_Tool, {"verify", m_Keys + "dev-only-release-signing.pub", path("product.ini")});
    QCOMPARE(other.exitCode, 1);
    QVERIFY2(other.output.startsWith("INVALID: ") && other.output.contains("does not match"),
        qPrintable(other.output));
    QCOMPARE(QDir(m_Dir->path()).entryList(QDir::Files),
        QStringList({"k.priv", "k.pub", "product.ini", "product.ini.sig"}));
}

void TestReleaseSign::genkeyWritesNothingUnlessBothKeysFit()
{
    QVERIFY(QFile::copy(m_Keys + "dev-only-release-signing.priv", path("k.priv")));
    const QByteArray before = readFile(path("k.priv"));
    const Run result = run(m_Tool, {"genkey", path("k.priv"), path("missing/k.pub")});
    QCOMPARE(result.exitCode, 1);
    QVERIFY2(
        result.output.contains("cannot write " + path("missing/k.pub")), qPrintable(result.output));
    QCOMPARE(readFile(path("k.priv")), before);
    QCOMPARE(QDir(m_Dir->path()).entryList(QDir::Files), QStringList {"k.priv"});
}

void TestReleaseSign::plainWordsForBadInput_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("missing key") << QStringList {"sign", "%d/none.priv", "%d/f"}
                                 << "cannot read %d/none.priv: No such file or directory" << 1;
    QTest::newRow("empty key") << QStringList {"sign", "%d/empty", "%d/f"} << "%d/empty is empty"
                               << 1;
    QTest::newRow("damaged key") << QStringList {"verify", "%d/f", "%d/f"}
                                 << "%d/f is not a key file: it is damaged or in another format"
                                 << 1;
    QTest::newRow("public key signs")
        << QStringList {"sign", "%k/dev-only-release-signing.pub", "%d/f"}
        << "holds a public key; signing needs the private key" << 1;
    QTest::newRow("missing file") << QStringList {"sign", "%k/dev-only-release-signing.priv",
        "%d/none"} << "cannot read %d/none"
                                  << 1;
    QTest::newRow("missing signature")
        << QStringList {"verify", "%k/dev-only-release-signing.pub", "%d/empty"}
        << "cannot read %d/empty.sig: No such file or directory" << 1;
    QTest::newRow("damaged signature")
        << QStringList {"verify", "%k/dev-only-release-signing.pub", "%d/f"}
        << "INVALID: %d/f.sig is damaged" << 1;
    QTest::newRow("same path twice")
        << QStringList {"genkey", "%d/k", "%d/k"} << "two different files" << 1;
    QTest::newRow("usage") << QStringList {"sign", "x"} << "usage: kv_release_sign" << 2;
}

void TestReleaseSign::plainWordsForBadInput()
{
    QFETCH(QStringList, args);
    QFETCH(QString, expected);
    QFETCH(int, exitCode);
    QVERIFY(writeFile(path("f"), "data"));
    QVERIFY(writeFile(path("f.sig"), "short"));
    QVERIFY(writeFile(path("empty"), ""));
    for (QString& arg : args)
        arg.replace("%d", m_Dir->path()).replace("%k/", m_Keys);
    expected.replace("%d", m_Dir->path());
    const Run result = run(m_Tool, args);
    QCOMPARE(result.exitCode, exitCode);
    QVERIFY2(result.output.contains(expected), qPrintable(result.output));
    // The library's own wording does not reach the user.
    QVERIFY2(!result.output.contains("rsa_"), qPrintable(result.output));
}

void TestReleaseSign::fullDiskKeepsEarlierFiles_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("expectedFiles");
    QTest::newRow("sign") << "\"$TOOL\" sign \"$KEY\" \"$D/f\""
                          << "f f.sig fill";
    QTest::newRow("genkey") << "\"$TOOL\" genkey \"$D/f.sig\" \"$D/k.pub\""
                            << "f f.sig fill";
}

void TestReleaseSign::fullDiskKeepsEarlierFiles()
{
    QFETCH(QString, command);
    QFETCH(QString, expectedFiles);
    // A small tmpfs of its own, mounted in a private user and mount
    // namespace so that no privileges are needed, filled up before the
    // command runs.
    const QString script = QStringLiteral(
        "mount -t tmpfs -o size=64k tmpfs \"$D\" || exit 77\n"
        "printf data > \"$D/f\"; printf earlier > \"$D/f.sig\"\n"
        "dd if=/dev/zero of=\"$D/fill\" bs=4k count=64 2>/dev/null\n"
        "%1; rc=$?\n"
        "echo \"rc=$rc sig=$(cat \"$D/f.sig\") files=$(ls \"$D\" | tr '\\n' ' ')\"\n")
                               .arg(command);
    QProcess shell;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TOOL", m_Tool);
    env.insert("KEY", m_Keys + "dev-only-release-signing.priv");
    env.insert("D", m_Dir->path());
    shell.setProcessEnvironment(env);
    shell.setProcessChannelMode(QProcess::MergedChannels);
    shell.start("unshare", {"-Urm", "sh", "-c", script});
    QVERIFY(shell.waitForFinished(60000));
    const QString output = QString::fromUtf8(shell.readAll());
    if (shell.exitCode() != 0 || !output.contains("rc="))
        QSKIP(qPrintable("no private tmpfs here: " + output));
    QVERIFY2(output.contains("No space left on device"), qPrintable(output));
    QVERIFY2(output.contains("rc=1 sig=earlier files=" + expectedFiles + " "), qPrintable(output));
}

QTEST_GUILESS_MAIN(TestReleaseSign)
#include "tst_releasesign.moc"
