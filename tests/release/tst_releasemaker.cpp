#include "compressedfile.h"
#include "configuration.h"
#include "cryptwrapper.h"
#include "downloadreplacelists.h"
#include "ensemblepatch.h"
#include "filedigest.h"
#include "makedownloadreplacelistfunc.h"
#include "productini.h"
#include "releaseoptions.h"
#include "releaseplan.h"
#include "releasesigning.h"
#include "releasewriter.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <zlib.h>

namespace {

const QString kVersion = QStringLiteral("4711");

QString keyPath(const char* name)
{
    return qEnvironmentVariable("KV_SOURCE_DIR") + QStringLiteral("/keys/") + QLatin1String(name);
}

QByteArray pseudoRandom(quint32 seed, int size)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 state = seed * 2654435761u + 1;
    for (int i = 0; i < size; ++i) {
        state = state * 1664525u + 1013904223u;
        data[i] = char(state >> 24);
    }
    return data;
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

// Every regular file below dir with its content.
QMap<QString, QByteArray> snapshot(const QString& dir)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        files.insert(QDir(dir).relativeFilePath(it.filePath()), readFile(it.filePath()));
    }
    return files;
}

QStringList directories(const QString& dir)
{
    QStringList dirs;
    QDirIterator it(
        dir, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        dirs << QDir(dir).relativeFilePath(it.next());
    dirs.sort();
    return dirs;
}

bool gunzip(const QString& source, const QString& destination)
{
    gzFile in = gzopen(QFile::encodeName(source).constData(), "rb");
    if (in == nullptr)
        return false;
    QByteArray data;
    char buffer[16384];
    int got = 0;
    while ((got = gzread(in, buffer, sizeof buffer)) > 0)
        data.append(buffer, got);
    gzclose(in);
    return got == 0 && writeFile(destination, data);
}

struct Lists
{
    bool ok = false;
    DownloadReplaceLists lists;
    QStringList downloadKeys() const
    {
        QStringList keys;
        for (const DownloadEntry& entry : lists.downloadList)
            keys << entry.key;
        keys.sort();
        return keys;
    }
};

} // namespace

class TestReleaseMaker : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void treeLayoutAndSignatures();
    void stageTwoInstallsTheNewRelease();
    void stageOneListsOnlyTheUpdatersFiles();
    void firstReleaseWithoutOldInstallation();
    void patchesOnlyWhenSmaller();
    void badInput_data();
    void badInput();
    void existingTreeIsLeftAlone();
    void commandLine();

private:
    ReleaseOptions options() const;
    bool make(const ReleaseOptions& options, QString* error);
    QString tree() const { return m_Out + QLatin1Char('/') + kVersion; }
    Lists compile(int clientUpdate, const QString& install, const QString& temp) const;
    // Does what the updater does with the lists, without the tasks: fetch,
    // unpack or patch, delete.
    bool applyStageTwo(const QString& install, const QString& temp);
    void writeReleases();

    QTemporaryDir* m_Root = nullptr;
    QString m_Old;
    QString m_New;
    QString m_Out;
};

void TestReleaseMaker::initTestCase()
{
    cryptInit();
}

void TestReleaseMaker::init()
{
    m_Root = new QTemporaryDir;
    QVERIFY(m_Root->isValid());
    m_Old = m_Root->filePath("old");
    m_New = m_Root->filePath("new");
    m_Out = m_Root->filePath("www");
    writeReleases();
}

void TestReleaseMaker::cleanup()
{
    delete m_Root;
    m_Root = nullptr;
}

void TestReleaseMaker::writeReleases()
{
    const QByteArray binary = pseudoRandom(1, 200000);
    QByteArray changedBinary = binary;
    changedBinary.replace(1000, 16, "new code here!!!");
    const QByteArray text = QByteArray("line of text\n").repeated(5000);
    // Both releases: an updater, a changed container file, a changed gzip
    // file, a changed plain file, an unchanged file, and a command.
    QVERIFY(writeFile(m_Old + "/update", binary));
    QVERIFY(writeFile(m_New + "/update", changedBinary));
    QVERIFY(writeFile(m_Old + "/lib/libclient.so.5", binary + text));
    QVERIFY(writeFile(m_New + "/lib/libclient.so.5", changedBinary + text));
    QVERIFY(writeFile(m_Old + "/doc/readme.txt", text));
    QVERIFY(writeFile(m_New + "/doc/readme.txt", text + "one more line\n"));
    QVERIFY(writeFile(m_Old + "/config.plain", "old settings"));
    QVERIFY(writeFile(m_New + "/config.plain", "new settings"));
    QVERIFY(writeFile(m_Old + "/same.bin", pseudoRandom(2, 3000)));
    QVERIFY(writeFile(m_New + "/same.bin", pseudoRandom(2, 3000)));
    QVERIFY(writeFile(m_New + "/setup.sh", "#!/bin/sh\nexit 0\n"));
    // Only the old one: a removed file and a removed directory tree; only
    // the new one: an added file in a new directory, and an empty file.
    QVERIFY(writeFile(m_Old + "/removed.txt", "bye"));
    QVERIFY(writeFile(m_Old + "/plugins/old/a.so", "a"));
    QVERIFY(writeFile(m_Old + "/plugins/old/deeper/b.so", "b"));
    QVERIFY(writeFile(m_New + "/plugins/new/c.so", pseudoRandom(3, 5000)));
    QVERIFY(writeFile(m_New + "/empty", QByteArray()));
}

ReleaseOptions TestReleaseMaker::options() const
{
    ReleaseOptions result;
    result.oldDir = m_Old;
    result.newDir = m_New;
    result.outDir = m_Out;
    result.keyPath = keyPath("dev-only-release-signing.priv");
    result.version = kVersion.toInt();
    result.updaterPatterns = QStringList {"update"};
    result.formRules = {{"*.txt", ShipForm::Gzip}, {"*.plain", ShipForm::Plain}};
    result.jobs = 3;
    result.preInstall = {{"setup.sh", {"pre", ""}}};
    result.postInstall = {{"setup.sh", {}}};
    return result;
}

bool TestReleaseMaker::make(const ReleaseOptions& options, QString* error)
{
    ReleasePlan plan;
    QStringList warnings;
    if (!plan.build(options, error, &warnings))
        return false;
    ReleaseWriter writer([](const QString&) {});
    return writer.write(options, plan, error);
}

Lists TestReleaseMaker::compile(int clientUpdate, const QString& install, const QString& temp) const
{
    // The compiler reads the ini that the product-ini download unpacked
    // into the temporary directory: unpack it from the tree the same way.
    Lists result;
    const QString name = productIniFileName(clientUpdate);
    QDir().mkpath(temp);
    if (!kvpatch::DecompressFile(QFile::encodeName(tree() + "/" + name + "._lzma2_").toStdString(),
            QFile::encodeName(temp + "/" + name).toStdString()))
        return result;
    Configuration config;
    config.m_ClientUpdate = clientUpdate;
    config.m_TempDir = temp;
    config.m_InstallDir = install;
    MakeDownloadReplaceListFunc func(&config, &result.lists);
    QSignalSpy messages(&func, &ASyncFunc::message);
    result.ok = func.run();
    for (const QList<QVariant>& message : messages) {
        if (message.at(0).toString().startsWith("Warning"))
            result.ok = false;
    }
    return result;
}

bool TestReleaseMaker::applyStageTwo(const QString& install, const QString& temp)
{
    const Lists compiled = compile(1, install, temp);
    if (!compiled.ok)
        return false;
    for (const DownloadEntry& entry : compiled.lists.downloadList) {
        const QString fetched = temp + "/" + entry.key;
        QDir().mkpath(QFileInfo(fetched).path());
        QFile::remove(fetched);
        if (!QFile::copy(tree() + "/" + entry.section + "/" + entry.key, fetched))
            return false;
        QString hash;
        if (sha512HexOfFile(fetched, &hash) != DigestStatus::Ok || hash != entry.hash
            || QFileInfo(fetched).size() != qint64(entry.size))
            return false;
    }
    for (const ReplaceEntry& entry : compiled.lists.replaceList) {
        const QString source = temp + "/" + entry.key;
        const QString target = install + "/" + entry.installPath();
        QDir().mkpath(QFileInfo(target).path());
        bool ok = false;
        if (!entry.hasTargetPath()) {
            QFile::remove(target);
            ok = QFile::copy(source, target);
        } else if (entry.hasPatch()) {
            const QString old = temp + "/" + entry.installPath() + "_old";
            QDir().mkpath(QFileInfo(old).path());
            QFile::remove(old);
            ok = QFile::copy(target, old)
                && kvpatch::ApplyEnsemblePatchFiles(QFile::encodeName(old).toStdString(),
                       QFile::encodeName(temp + "/" + entry.patchKey).toStdString(),
                       QFile::encodeName(target).toStdString())
                    == kvpatch::C_OK;
        } else if (source.endsWith("._lzma2_")) {
            ok = kvpatch::DecompressFile(
                QFile::encodeName(source).toStdString(), QFile::encodeName(target).toStdString());
        } else {
            ok = gunzip(source, target);
        }
        QString hash;
        if (!ok
            || (entry.hasTargetPath()
                && (sha512HexOfFile(target, &hash) != DigestStatus::Ok || hash != entry.hash)))
            return false;
    }
    for (const DeleteEntry& entry : compiled.lists.deleteList) {
        const QString path = install + "/" + entry.path;
        if (entry.isDir ? !QDir(path).removeRecursively() : !QFile::remove(path))
            return false;
    }
    return true;
}

void TestReleaseMaker::treeLayoutAndSignatures()
{
    QString error;
    QVERIFY2(make(options(), &error), qPrintable(error));
    for (const int stage : {0, 1}) {
        const QString ini = tree() + "/" + productIniFileName(stage);
        const QString unpacked = m_Root->filePath("unpacked.ini");
        QVERIFY(kvpatch::DecompressFile(QFile::encodeName(ini + "._lzma2_").toStdString(),
            QFile::encodeName(unpacked).toStdString()));
        QCOMPARE(readFile(unpacked), readFile(ini));
        std::string verifyError;
        QCOMPARE(verifyReleaseFile(keyPath("dev-only-release-signing.pub").toStdString(),
                     ini.toStdString(), &verifyError),
            SignatureVerdict::Valid);
    }
    const QStringList expected {"client/config.plain", "client/doc/readme.txt.gz", "client/empty",
        "client/lib/libclient.so.5._lzma2_", "client/plugins/new/c.so._lzma2_",
        "client/same.bin._lzma2_", "client/setup.sh._lzma2_", "client/update._lzma2_",
        "kv3_client_linux_x86.ini", "kv3_client_linux_x86.ini._lzma2_",
        "kv3_client_linux_x86.ini.sig", "update_linux_x86.ini", "update_linux_x86.ini._lzma2_",
        "update_linux_x86.ini.sig"};
    QStringList files = snapshot(tree()).keys();
    QStringList patches = files.filter("_patch_");
    for (const QString& patch : patches)
        files.removeAll(patch);
    QCOMPARE(files, expected);
    // The three changed packed files have patches; the plain one cannot.
    QCOMPARE(patches.size(), 3);
    QCOMPARE(patches.filter("update.").size(), 1);
    QCOMPARE(patches.filter("libclient.so.5.").size(), 1);
    QCOMPARE(patches.filter("readme.txt.").size(), 1);
    // Nothing but the finished tree is left in the output directory.
    QCOMPARE(QDir(m_Out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList {kVersion});
}

void TestReleaseMaker::stageTwoInstallsTheNewRelease()
{
    QString error;
    QVERIFY2(make(options(), &error), qPrintable(error));
    const QString install = m_Root->filePath("install");
    const QString temp = m_Root->filePath("temp");
    QVERIFY(QDir().mkpath(install));
    const QMap<QString, QByteArray> old = snapshot(m_Old);
    for (auto it = old.constBegin(); it != old.constEnd(); ++it)
        QVERIFY(writeFile(install + "/" + it.key(), it.value()));

    const Lists first = compile(1, install, temp);
    QVERIFY(first.ok);
    // Patches for what changed and was packed, whole files for the rest of
    // what changed or is new; nothing for the unchanged file.
    QStringList keys = first.downloadKeys();
    QCOMPARE(keys.filter("_patch_").size(), 3);
    keys = keys.filter(QRegularExpression("^(?!.*_patch_)"));
    QCOMPARE(keys,
        QStringList({"config.plain", "empty", "plugins/new/c.so._lzma2_", "setup.sh._lzma2_"}));
    QCOMPARE(first.lists.deleteList.size(), 2);
    QCOMPARE(first.lists.preInstallList.size(), 1);
    QCOMPARE(first.lists.preInstallList.first().command, QString("setup.sh"));
    QCOMPARE(first.lists.preInstallList.first().args, QStringList({"pre", ""}));
    QCOMPARE(first.lists.postInstallList.size(), 1);
    QVERIFY(first.lists.postInstallList.first().args.isEmpty());

    QVERIFY(applyStageTwo(install, temp));
    QCOMPARE(snapshot(install), snapshot(m_New));
    QCOMPARE(directories(install), directories(m_New));
    // Run again on the updated installation: everything is current.
    const Lists again = compile(1, install, m_Root->filePath("temp2"));
    QVERIFY(again.ok);
    QVERIFY(again.lists.downloadList.isEmpty());
    QVERIFY(again.lists.replaceList.isEmpty());
    QVERIFY(again.lists.deleteList.isEmpty());
}

void TestReleaseMaker::stageOneListsOnlyTheUpdatersFiles()
{
    QString error;
    QVERIFY2(make(options(), &error), qPrintable(error));
    const QString temp = m_Root->filePath("temp");
    const Lists compiled = compile(0, m_Old, temp);
    QVERIFY(compiled.ok);
    // The updater changed (its patch is fetched); the command is new, and
    // is listed for stage one so that it lies in the temporary directory.
    QCOMPARE(compiled.downloadKeys().size(), 2);
    QVERIFY(compiled.downloadKeys().first().startsWith("setup.sh"));
    QVERIFY(compiled.downloadKeys().last().startsWith("update."));
    QVERIFY(compiled.lists.deleteList.isEmpty());
    QVERIFY(compiled.lists.preInstallList.isEmpty());
    QVERIFY(compiled.lists.postInstallList.isEmpty());
}

void TestReleaseMaker::firstReleaseWithoutOldInstallation()
{
    ReleaseOptions first = options();
    first.oldDir.clear();
    QString error;
    QVERIFY2(make(first, &error), qPrintable(error));
    QVERIFY(snapshot(tree()).keys().filter("_patch_").isEmpty());
    const QString install = m_Root->filePath("install");
    QVERIFY(QDir().mkpath(install));
    QVERIFY(applyStageTwo(install, m_Root->filePath("temp")));
    QCOMPARE(snapshot(install), snapshot(m_New));
}

void TestReleaseMaker::patchesOnlyWhenSmaller()
{
    // A file rewritten completely: its patch would be larger than the
    // packed file, so none is listed and the whole file is fetched.
    QVERIFY(writeFile(m_New + "/update", pseudoRandom(99, 200000)));
    QString error;
    QVERIFY2(make(options(), &error), qPrintable(error));
    QVERIFY(snapshot(tree())
                .keys()
                .filter(QRegularExpression("^client/update\\..*_patch_$"))
                .isEmpty());
    const QString install = m_Root->filePath("install");
    QVERIFY(QDir().mkpath(install));
    const QMap<QString, QByteArray> old = snapshot(m_Old);
    for (auto it = old.constBegin(); it != old.constEnd(); ++it)
        QVERIFY(writeFile(install + "/" + it.key(), it.value()));
    QVERIFY(applyStageTwo(install, m_Root->filePath("temp")));
    QCOMPARE(snapshot(install), snapshot(m_New));
}

void TestReleaseMaker::badInput_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("message");
    QTest::newRow("new missing") << "newMissing"
                                 << "is not a directory";
    QTest::newRow("symbolic link") << "symlink"
                                   << "is a symbolic link";
    QTest::newRow("file became directory") << "typeChange"
                                           << "a file in one installation and a directory";
    QTest::newRow("separator in name") << "separator"
                                       << "cannot be part of a file name";
    QTest::newRow("no updater file") << "noUpdater"
                                     << "no file of the new installation is the updater's";
    QTest::newRow("command not shipped") << "command"
                                         << "install command missing.sh is not a file";
    QTest::newRow("name clash in temporary directory") << "clash"
                                                       << "would both use the name a.gz";
    QTest::newRow("file where a directory is needed") << "dirClash"
                                                      << "as a directory in the update's temporary";
    QTest::newRow("key file missing") << "keyMissing"
                                      << "cannot read";
    QTest::newRow("public key given") << "publicKey"
                                      << "holds a public key";
    QTest::newRow("damaged key") << "damagedKey"
                                 << "is not a key file";
    QTest::newRow("empty new installation") << "emptyNew"
                                            << "holds no file";
}

void TestReleaseMaker::badInput()
{
    QFETCH(QString, setup);
    QFETCH(QString, message);
    ReleaseOptions bad = options();
    if (setup == "newMissing")
        bad.newDir = m_Root->filePath("nothing");
    else if (setup == "symlink")
        QVERIFY(QFile::link(m_New + "/update", m_New + "/link"));
    else if (setup == "typeChange")
        QVERIFY(writeFile(m_New + "/removed.txt/inner", "x"));
    else if (setup == "separator")
        QVERIFY(writeFile(m_New + "/a::b", "x"));
    else if (setup == "noUpdater") {
        bad.updaterPatterns = QStringList {"nothing*"};
        bad.preInstall.clear();
        bad.postInstall.clear();
    } else if (setup == "command")
        bad.postInstall << InstallCommandOption {"missing.sh", {}};
    else if (setup == "clash") {
        QVERIFY(writeFile(m_New + "/a.gz", "plain"));
        QVERIFY(writeFile(m_New + "/a", "packed"));
        bad.formRules.prepend({"a", ShipForm::Gzip});
        bad.formRules.prepend({"a.gz", ShipForm::Plain});
    } else if (setup == "dirClash") {
        QVERIFY(writeFile(m_New + "/x", "plain"));
        QVERIFY(writeFile(m_New + "/x._lzma2_/y", "inside"));
    } else if (setup == "keyMissing")
        bad.keyPath = m_Root->filePath("no.priv");
    else if (setup == "publicKey")
        bad.keyPath = keyPath("dev-only-release-signing.pub");
    else if (setup == "damagedKey") {
        QVERIFY(writeFile(m_Root->filePath("bad.priv"), QByteArray(2048, 'x')));
        bad.keyPath = m_Root->filePath("bad.priv");
    } else if (setup == "emptyNew") {
        bad.newDir = m_Root->filePath("emptynew");
        QVERIFY(QDir().mkpath(bad.newDir));
    }
    QString error;
    QVERIFY(!make(bad, &error));
    QVERIFY2(error.contains(message), qPrintable(error));
    QVERIFY(!QFileInfo::exists(tree()));
    QVERIFY(
        QDir(m_Out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).isEmpty());
}

void TestReleaseMaker::existingTreeIsLeftAlone()
{
    QVERIFY(writeFile(tree() + "/keep", "earlier release"));
    QString error;
    QVERIFY(!make(options(), &error));
    QVERIFY2(error.contains("already exists"), qPrintable(error));
    QCOMPARE(snapshot(tree()).keys(), QStringList {"keep"});
    QCOMPARE(QDir(m_Out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
        QStringList {kVersion});
}

void TestReleaseMaker::commandLine()
{
    const QString program = qEnvironmentVariable("KV_RELEASEMAKER");
    if (program.isEmpty())
        QSKIP("KV_RELEASEMAKER is not set (run through ctest)");
    struct Case
    {
        QStringList args;
        int exitCode;
        QString stderrPart;
    };
    const QStringList good {"--old", m_Old, "--new", m_New, "--version", kVersion, "--key",
        keyPath("dev-only-release-signing.priv"), "--out", m_Out, "--form", "*.txt=gzip",
        "--preinstall", "setup.sh::a::b", "--jobs", "2"};
    const QList<Case> cases {
        {{"--new", m_New, "--version", "x", "--key", "k", "--out", m_Out}, 2,
            "--version wants a whole number"},
        {{"--new", m_New, "--version", "-1", "--key", "k", "--out", m_Out}, 2,
            "--version wants a whole number"},
        {{"--version", "1", "--key", "k", "--out", m_Out}, 2, "--new is required"},
        {good + QStringList {"--form", "*.so=zip"}, 2, "--form wants PATTERN=plain"},
        {good + QStringList {"--section", "delete"}, 2, "cannot name a file section"},
        {good + QStringList {"--postinstall", "../x.sh"}, 2,
            "must be a path inside the new release"},
        {good + QStringList {"--bogus"}, 2, "Unknown option"},
        {good, 0, "[100%] 8/8"},
        {good, 1, "already exists"},
    };
    for (const Case& c : cases) {
        QProcess tool;
        tool.start(program, c.args);
        QVERIFY(tool.waitForFinished(120000));
        const QString err = QString::fromUtf8(tool.readAllStandardError());
        QVERIFY2(tool.exitCode() == c.exitCode && err.contains(c.stderrPart),
            qPrintable(c.args.join(' ') + " -> " + QString::number(tool.exitCode()) + ": " + err));
    }
    QVERIFY(QFileInfo::exists(tree() + "/kv3_client_linux_x86.ini.sig"));
}

QTEST_GUILESS_MAIN(TestReleaseMaker)
#include "tst_releasemaker.moc"
