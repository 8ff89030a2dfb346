#include "configuration.h"
#include "makedownloadreplacelistfunc.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "productini.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString sha(const QByteArray& content)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(content, QCryptographicHash::Sha512).toHex());
}

// A file line's value: hash and size of what is fetched, and for packed or
// patched files the installed result's hash, size and path.
QString fileLine(const QByteArray& fetched, const QByteArray& installed = QByteArray(),
    const QString& targetPath = QString())
{
    QString line = sha(fetched) + "::" + QString::number(fetched.size());
    if (!targetPath.isEmpty())
        line
            += "::" + sha(installed) + "::" + QString::number(installed.size()) + "::" + targetPath;
    return line;
}

QString patchLine(const QByteArray& patch, const QByteArray& base, const QString& targetPath)
{
    return sha(patch) + "::" + QString::number(patch.size()) + "::" + sha(base)
        + "::" + QString::number(base.size()) + "::" + targetPath;
}

QString warning(const QString& section)
{
    return QString("Warning: product ini contains invalid line in section %1").arg(section);
}

struct Compile
{
    bool ok = false;
    DownloadReplaceLists lists;
    QStringList messages;
    QList<qreal> progress;

    QStringList downloadKeys() const
    {
        QStringList keys;
        for (const DownloadEntry& entry : lists.downloadList)
            keys << entry.key;
        return keys;
    }
    QStringList replaceKeys() const
    {
        QStringList keys;
        for (const ReplaceEntry& entry : lists.replaceList)
            keys << entry.key;
        return keys;
    }
    bool warned(const QString& section) const { return messages.contains(warning(section)); }
};

} // namespace

class TestMakeDownloadReplaceList : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void missingIniFails();
    void iniWithoutKeysFails();
    void failedCompileLeavesOutputAlone();
    void commandsOnlyCompile();
    void currentFileStageTwoListsNothing();
    void currentFileStageOneIsCopied();
    void stageOneCopyKeepsExistingDestination();
    void failedStageOneCopyIsNotFatal();
    void emptyExpectedHashNeedsSignature();
    void changedFileIsFetchedWhole();
    void missingFileIsFetchedWholeDespitePatches();
    void unreadableInstalledFileCountsAsChanged();
    void patchChosenByBaseHash();
    void noMatchingPatchFetchesWhole();
    void patchNeedsTargetPath();
    void patchLinesServeOnlyTheirSection();
    void alreadyFetchedFileIsNotDownloaded();
    void alreadyFetchedPatchIsNotDownloaded();
    void packedFileComparesInstalledHash();
    void fiveFieldsWithEmptyTargetActAsTwo();
    void invalidFileLinesAreSkipped();
    void invalidPatchLineFailsCompile();
    void invalidPatchLineFailsEvenInDeleteSection();
    void deleteCodes();
    void deleteSectionNameIsCaseSensitive();
    void installCommands();
    void progressCountsFileAndDeleteKeys();
    void repeatedRunStartsAfresh();
    void taskDeletedMidCompile();

    void linesForOneInstalledPath_data();
    void linesForOneInstalledPath();
    void supersededDownloadIsTheSectionsOwn();
    void pathsLeavingDirectoriesAreInvalid_data();
    void pathsLeavingDirectoriesAreInvalid();
    void unsafePatchLineFailsCompile();
    void stageOneCopyStaysInside();
    void unsafeDeleteAndCommandLinesAreInvalid();

private:
    QString installPath(const QString& relative) const { return m_Install + "/" + relative; }
    QString tempPath(const QString& relative) const { return m_Temp + "/" + relative; }
    void install(const QString& relative, const QByteArray& content);
    void fetched(const QString& relative, const QByteArray& content);
    void writeFile(const QString& path, const QByteArray& content);
    void writeIni(int clientUpdate, const QString& text);
    Compile compile(int clientUpdate, qreal weight = 1.0);

    QTemporaryDir* m_Root = nullptr;
    QString m_Install;
    QString m_Temp;
    DownloadReplaceLists m_Output;
};

void TestMakeDownloadReplaceList::init()
{
    m_Root = new QTemporaryDir;
    QVERIFY(m_Root->isValid());
    m_Install = m_Root->filePath("install");
    m_Temp = m_Root->filePath("temp");
    QVERIFY(QDir().mkpath(m_Install));
    QVERIFY(QDir().mkpath(m_Temp));
    m_Output.clear();
}

void TestMakeDownloadReplaceList::cleanup()
{
    delete m_Root;
    m_Root = nullptr;
}

void TestMakeDownloadReplaceList::writeFile(const QString& path, const QByteArray& content)
{
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(content), qint64(content.size()));
}

void TestMakeDownloadReplaceList::install(const QString& relative, const QByteArray& content)
{
    writeFile(installPath(relative), content);
}

void TestMakeDownloadReplaceList::fetched(const QString& relative, const QByteArray& content)
{
    writeFile(tempPath(relative), content);
}

void TestMakeDownloadReplaceList::writeIni(int clientUpdate, const QString& text)
{
    writeFile(tempPath(productIniFileName(clientUpdate)), text.toUtf8());
}

Compile TestMakeDownloadReplaceList::compile(int clientUpdate, qreal weight)
{
    Configuration config;
    config.m_ClientUpdate = clientUpdate;
    config.m_TempDir = m_Temp;
    config.m_InstallDir = m_Install;
    MakeDownloadReplaceListTaskSpecification task(&config, &m_Output, nullptr, weight);
    QSignalSpy messages(&task, &TaskSpecification::message);
    QSignalSpy progress(&task, &TaskSpecification::updateProgress);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    Compile result;
    if (!QTest::qWaitFor([&] { return finished.count() + canceled.count() > 0; }, 20000)) {
        result.messages << "timed out";
        return result;
    }
    result.ok = task.state() == STATE_FINISHED;
    result.lists = m_Output;
    for (const QList<QVariant>& arguments : messages)
        result.messages << arguments.at(0).toString();
    for (const QList<QVariant>& arguments : progress)
        result.progress << arguments.at(0).toReal();
    return result;
}

void TestMakeDownloadReplaceList::missingIniFails()
{
    const Compile result = compile(1);
    QVERIFY(!result.ok);
    QCOMPARE(result.messages,
        QStringList({"Compiling download and replace list for client", "No files in product ini"}));
}

void TestMakeDownloadReplaceList::iniWithoutKeysFails()
{
    writeIni(0, "orphan=1::2\n[files]\n[delete]\n");
    const Compile result = compile(0);
    QVERIFY(!result.ok);
    QCOMPARE(result.messages,
        QStringList(
            {"Compiling download and replace list for updater", "No files in product ini"}));
}

void TestMakeDownloadReplaceList::failedCompileLeavesOutputAlone()
{
    m_Output.deleteList.append(DeleteEntry {"kept", false});
    writeIni(1, "[files]\nnew=" + fileLine("n") + "\nx_patch_=1::2::3::x\n");
    const Compile result = compile(1);
    QVERIFY(!result.ok);
    QCOMPARE(result.lists.deleteList.size(), 1);
    QCOMPARE(result.lists.deleteList.at(0).path, QString("kept"));
    QVERIFY(result.lists.downloadList.isEmpty());
}

void TestMakeDownloadReplaceList::commandsOnlyCompile()
{
    writeIni(1, "[preinstall]\nprepare.sh=linux32\n[postinstall]\nfinish.sh=linux32::win32, a\n");
    const Compile result = compile(1, 0.05);
    QVERIFY(result.ok);
    QCOMPARE(result.lists.preInstallList.size(), 1);
    QCOMPARE(result.lists.postInstallList.size(), 1);
    QVERIFY(result.lists.downloadList.isEmpty() && result.lists.replaceList.isEmpty()
        && result.lists.deleteList.isEmpty());
    // Only the task's own end reports progress.
    QCOMPARE(result.progress, QList<qreal>({0.05}));
}

void TestMakeDownloadReplaceList::currentFileStageTwoListsNothing()
{
    install("bin/kv3client", "client v2");
    writeIni(1, "[client]\nbin/kv3client=" + fileLine("client v2") + "\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QVERIFY(result.lists.replaceList.isEmpty());
    QVERIFY(result.lists.downloadList.isEmpty());
    QVERIFY(!QFile::exists(tempPath("bin/kv3client")));
}

void TestMakeDownloadReplaceList::currentFileStageOneIsCopied()
{
    install("update", "updater v2");
    install("plugins/platforms/libqxcb.so", "xcb");
    QVERIFY(QFile::setPermissions(
        installPath("update"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    writeIni(0,
        "[update]\nupdate=" + fileLine("updater v2") + "\nplugins/platforms/libqxcb.so._lzma2_="
            + fileLine("packed", "xcb", "plugins/platforms/libqxcb.so") + "\n");
    const Compile result = compile(0);
    QVERIFY(result.ok);
    QVERIFY(result.lists.replaceList.isEmpty());
    QVERIFY(result.lists.downloadList.isEmpty());
    QFile copy(tempPath("update"));
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), QByteArray("updater v2"));
    QVERIFY(copy.permissions() & QFile::ExeOwner);
    QFile nested(tempPath("plugins/platforms/libqxcb.so"));
    QVERIFY(nested.open(QIODevice::ReadOnly));
    QCOMPARE(nested.readAll(), QByteArray("xcb"));
}

void TestMakeDownloadReplaceList::stageOneCopyKeepsExistingDestination()
{
    install("update", "updater v2");
    fetched("update", "left by an earlier run");
    writeIni(0, "[update]\nupdate=" + fileLine("updater v2") + "\n");
    const Compile result = compile(0);
    QVERIFY(result.ok);
    QVERIFY(result.lists.replaceList.isEmpty());
    QFile copy(tempPath("update"));
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.readAll(), QByteArray("left by an earlier run"));
}

void TestMakeDownloadReplaceList::failedStageOneCopyIsNotFatal()
{
    // A file in the temporary directory blocks the copy's directory.
    install("plugins/libx.so", "x");
    install("update", "u");
    fetched("plugins", "not a directory");
    writeIni(0, "[update]\nplugins/libx.so=" + fileLine("x") + "\nupdate=" + fileLine("u") + "\n");
    const Compile result = compile(0);
    QVERIFY(result.ok);
    QVERIFY(result.lists.replaceList.isEmpty());
    QVERIFY(result.lists.downloadList.isEmpty());
    QVERIFY(QFile::exists(tempPath("update")));
}

void TestMakeDownloadReplaceList::emptyExpectedHashNeedsSignature()
{
    // An empty hash is checked as a signature; without one beside the file
    // it is not current and is fetched.
    install("unsigned.dat", "x");
    writeIni(1, "[client]\nunsigned.dat=::1\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QCOMPARE(result.replaceKeys(), QStringList({"unsigned.dat"}));
    QCOMPARE(result.downloadKeys(), QStringList({"unsigned.dat"}));
}

void TestMakeDownloadReplaceList::changedFileIsFetchedWhole()
{
    install("data/map.pak", "old map");
    writeIni(1, "[client]\ndata/map.pak=" + fileLine("new map") + "\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QCOMPARE(result.lists.replaceList.size(), 1);
    const ReplaceEntry& replace = result.lists.replaceList.at(0);
    QCOMPARE(replace.section, QString("client"));
    QCOMPARE(replace.key, QString("data/map.pak"));
    QCOMPARE(replace.hash, QString());
    QCOMPARE(replace.size, quint64(0));
    QVERIFY(!replace.hasTargetPath());
    QVERIFY(!replace.hasPatch());
    QCOMPARE(result.lists.downloadList.size(), 1);
    const DownloadEntry& download = result.lists.downloadList.at(0);
    QCOMPARE(download.section, QString("client"));
    QCOMPARE(download.key, QString("data/map.pak"));
    QCOMPARE(download.hash, sha("new map"));
    QCOMPARE(download.size, quint64(7));
}

void TestMakeDownloadReplaceList::missingFileIsFetchedWholeDespitePatches()
{
    writeIni(1,
        "[client]\nlib.so._lzma2_=" + fileLine("packed", "lib v2", "lib.so")
            + "\nlib.so_patch_=" + patchLine("patch", "lib v1", "lib.so") + "\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QCOMPARE(result.replaceKeys(), QStringList({"lib.so._lzma2_"}));
    QVERIFY(!result.lists.replaceList.at(0).hasPatch());
    QCOMPARE(result.downloadKeys(), QStringList({"lib.so._lzma2_"}));
}

void TestMakeDownloadReplaceList::unreadableInstalledFileCountsAsChanged()
{
    // A directory where the file should be exists but cannot be read.
    QVERIFY(QDir().mkpath(installPath("game.bin")));
    writeIni(1, "[client]\ngame.bin=" + fileLine("game") + "\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QCOMPARE(result.replaceKeys(), QStringList({"game.bin"}));
    QCOMPARE(result.downloadKeys(), QStringList({"game.bin"}));
}

void TestMakeDownloadReplaceList::patchChosenByBaseHash()
{
    install("lib.so", "lib v2");
    writeIni(1,
        "[client]\nlib.so._lzma2_=" + fileLine("packed v4", "lib v4", "lib.so")
            + "\nlib.so.from1_patch_=" + patchLine("patch 1-4", "lib v1", "lib.so")
            + "\nlib.so.from2_patch_=" + patchLine("patch two to four", "lib v2", "lib.so")
            + "\nlib.so.from3_patch_=" + patchLine("patch 3-4", "lib v3", "lib.so") + "\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QCOMPARE(result.lists.replaceList.size(), 1);
    const ReplaceEntry& replace = result.lists.replaceList.at(0);
    QCOMPARE(replace.key, QString("lib.so._lzma2_"));
    QCOMPARE(replace.hash, sha("lib v4"));
    QCOMPARE(replace.size, quint64(6));
    QCOMPARE(replace.targetPath, QString("lib.so"));
    QCOMPARE(replace.patchKey, QString("lib.so.from2_patch_"));
    QCOMPARE(result.lists.downloadList.size(), 1);
    const DownloadEntry& download = result.lists.downloadList.at(0);
    QCOMPARE(download.section, QString("client"));
    QCOMPARE(download.key, QString("lib.so.from2_patch_"));
    QCOMPARE(download.hash, sha("patch two to four"));
    QCOMPARE(download.size, quint64(17));
}

void TestMakeDownloadReplaceList::noMatchingPatchFetchesWhole()
{
    install("lib.so", "lib v0");
    writeIni(1,
        "[client]\nlib.so._lzma2_=" + fileLine("packed v4", "lib v4", "lib.so")
            + "\nlib.so.from1_patch_=" + patchLine("p1", "lib v1", "lib.so")
            + "\nlib.so.from2_patch_=" + patchLine("p2", "lib v2", "lib.so") + "\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QCOMPARE(result.replaceKeys(), QStringList({"lib.so._lzma2_"}));
    QVERIFY(!result.lists.replaceList.at(0).hasPatch());
    QCOMPARE(result.downloadKeys(), QStringList({"lib.so._lzma2_"}));
    QCOMPARE(result.lists.downloadList.at(0).hash, sha("packed v4"));
}

void TestMakeDownloadReplaceList::patchNeedsTargetPath()
{
    // A line without target path is never patched, even by a patch line
    // whose target is its key.
    install("readme.txt", "v1");
    writeIni(1,
        "[client]\nreadme.txt=" + fileLine("v2")
            + "\nreadme_patch_=" + patchLine("p", "v1", "readme.txt") + "\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QCOMPARE(result.downloadKeys(), QStringList({"readme.txt"}));
    QVERIFY(!result.lists.replaceList.at(0).hasPatch());
}

void TestMakeDownloadReplaceList::patchLinesServeOnlyTheirSection()
{
    install("lib.so", "lib v1");
    writeIni(1,
        "[client]\nlib.so._lzma2_=" + fileLine("packed", "lib v2", "lib.so")
            + "\n[other]\nlib.so_patch_=" + patchLine("p", "lib v1", "lib.so") + "\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QCOMPARE(result.downloadKeys(), QStringList({"lib.so._lzma2_"}));
}

void TestMakeDownloadReplaceList::alreadyFetchedFileIsNotDownloaded()
{
    install("a.bin", "a v1");
    install("b.bin", "b v1");
    fetched("a.bin", "a v2");
    fetched("b.bin", "b v2, damaged");
    writeIni(1, "[client]\na.bin=" + fileLine("a v2") + "\nb.bin=" + fileLine("b v2") + "\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QCOMPARE(result.replaceKeys(), QStringList({"a.bin", "b.bin"}));
    QCOMPARE(result.downloadKeys(), QStringList({"b.bin"}));
}

void TestMakeDownloadReplaceList::alreadyFetchedPatchIsNotDownloaded()
{
    install("lib.so", "lib v1");
    fetched("lib.so_patch_", "p");
    writeIni(1,
        "[client]\nlib.so._lzma2_=" + fileLine("packed", "lib v2", "lib.so")
            + "\nlib.so_patch_=" + patchLine("p", "lib v1", "lib.so") + "\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QCOMPARE(result.lists.replaceList.size(), 1);
    QCOMPARE(result.lists.replaceList.at(0).patchKey, QString("lib.so_patch_"));
    QVERIFY(result.lists.downloadList.isEmpty());
}

void TestMakeDownloadReplaceList::packedFileComparesInstalledHash()
{
    // A packed line is current when the installed file matches the unpacked
    // hash, not the hash of the packed download.
    install("data.pak", "unpacked");
    install("other.pak", "packed");
    writeIni(1,
        "[client]\ndata.pak.gz=" + fileLine("packed", "unpacked", "data.pak")
            + "\nother.pak.gz=" + fileLine("packed", "unpacked", "other.pak") + "\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QCOMPARE(result.replaceKeys(), QStringList({"other.pak.gz"}));
}

void TestMakeDownloadReplaceList::fiveFieldsWithEmptyTargetActAsTwo()
{
    install("current.txt", "same");
    writeIni(1,
        "[client]\ncurrent.txt=" + sha("same") + "::4::" + sha("ignored") + "::7::\n"
            + "changed.txt=" + sha("new") + "::3::x::y::\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QCOMPARE(result.replaceKeys(), QStringList({"changed.txt"}));
    QCOMPARE(result.lists.replaceList.at(0).hash, QString("x"));
    QCOMPARE(result.lists.replaceList.at(0).size, quint64(0));
    QVERIFY(!result.lists.replaceList.at(0).hasTargetPath());
    QCOMPARE(result.downloadKeys(), QStringList({"changed.txt"}));
}

void TestMakeDownloadReplaceList::invalidFileLinesAreSkipped()
{
    writeIni(1,
        "[client]\na=" + fileLine("a") + "\nb=" + sha("b") + "::1::\nc=" + sha("c")
            + "\nd=" + fileLine("d") + "\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QCOMPARE(result.messages.count(warning("client")), 2);
    QCOMPARE(result.downloadKeys(), QStringList({"a", "d"}));
    QCOMPARE(result.replaceKeys(), QStringList({"a", "d"}));
}

void TestMakeDownloadReplaceList::invalidPatchLineFailsCompile()
{
    writeIni(1,
        "[client]\nlib.so._lzma2_=" + fileLine("packed", "v2", "lib.so")
            + "\nlib.so_patch_=" + sha("p") + "::1::" + sha("v1") + "::2\n");
    const Compile result = compile(1);
    QVERIFY(!result.ok);
    QVERIFY(result.warned("client"));
}

void TestMakeDownloadReplaceList::invalidPatchLineFailsEvenInDeleteSection()
{
    install("old.txt", "x");
    writeIni(1, "[delete]\nold.txt=0\nx_patch_=1::2::3::4\n");
    const Compile result = compile(1);
    QVERIFY(!result.ok);
    QVERIFY(result.warned("delete"));
}

void TestMakeDownloadReplaceList::deleteCodes()
{
    const QStringList files {"c0", "c1", "c9", "c10", "c11", "c12", "c13", "cneg", "cnan"};
    for (const QString& name : files)
        install(name, "x");
    QVERIFY(QDir().mkpath(installPath("olddir/sub")));
    writeIni(1,
        "[delete]\nc0=0\nc1=1\nc9=9\nc10=10\nc11=11\nc12=12\nc13=13\ncneg=-4\ncnan=abc\n"
        "olddir=2\nmissing=0\nmissingdir=2\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QMap<QString, bool> listed;
    for (const DeleteEntry& entry : result.lists.deleteList)
        listed.insert(entry.path, entry.isDir);
    QMap<QString, bool> expected {{"c0", false}, {"c1", false}, {"c9", false}, {"c12", false},
        {"cneg", false}, {"cnan", false}, {"olddir", true}};
    QCOMPARE(listed, expected);
    QCOMPARE(result.lists.deleteList.size(), expected.size());
}

void TestMakeDownloadReplaceList::deleteSectionNameIsCaseSensitive()
{
    install("old.txt", "x");
    writeIni(1, "[Delete]\nold.txt=0\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QVERIFY(result.lists.deleteList.isEmpty());
    // As a file section, "0" is a line of one field.
    QVERIFY(result.warned("Delete"));
}

void TestMakeDownloadReplaceList::installCommands()
{
    writeIni(1,
        "[preinstall]\n"
        "twice.sh=linux32::LINUX32\n"
        "single.sh=linux32\n"
        "args.sh=\"win32::LINUX32\", a::b\n"
        "empty-args.sh=linux32, a::::b\n"
        "other.sh=linux64::win64::mac, a\n"
        "[postinstall]\n"
        "post.sh=Linux32, --x, ignored\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QStringList pre;
    for (const PrePostInstallCommand& command : result.lists.preInstallList)
        pre << command.command + "(" + command.args.join("|") + ")";
    pre.sort();
    QCOMPARE(pre,
        QStringList(
            {"args.sh(a|b)", "empty-args.sh(a||b)", "single.sh()", "twice.sh()", "twice.sh()"}));
    QCOMPARE(result.lists.postInstallList.size(), 1);
    QCOMPARE(result.lists.postInstallList.at(0).command, QString("post.sh"));
    QCOMPARE(result.lists.postInstallList.at(0).args, QStringList({"--x"}));
    for (const PrePostInstallCommand& command : result.lists.preInstallList) {
        if (command.command == "single.sh")
            QVERIFY(command.args.isEmpty());
    }
}

void TestMakeDownloadReplaceList::progressCountsFileAndDeleteKeys()
{
    QString ini = "[client]\n";
    for (int i = 0; i < 6; ++i)
        ini += QString("f%1=").arg(i) + fileLine("x") + "\n";
    ini += "[preinstall]\na=linux32\nb=linux32\n[postinstall]\nc=linux32\nd=win32\n";
    writeIni(1, ini);
    const Compile result = compile(1);
    QVERIFY(result.ok);
    const QList<qreal> expected {0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 1.0};
    QCOMPARE(result.progress.size(), expected.size());
    for (int i = 0; i < expected.size(); ++i)
        QVERIFY2(qFuzzyCompare(result.progress.at(i), expected.at(i)),
            qPrintable(QString::number(result.progress.at(i))));
}

void TestMakeDownloadReplaceList::repeatedRunStartsAfresh()
{
    install("old", "x");
    writeIni(1,
        "[client]\nnew=" + fileLine("n")
            + "\n[delete]\nold=0\n"
              "[postinstall]\nrun=linux32\n");
    Configuration config;
    config.m_ClientUpdate = 1;
    config.m_TempDir = m_Temp;
    config.m_InstallDir = m_Install;
    DownloadReplaceLists lists;
    MakeDownloadReplaceListFunc func(&config, &lists);
    QVERIFY(func.run());
    QVERIFY(func.run());
    QCOMPARE(lists.downloadList.size(), 1);
    QCOMPARE(lists.replaceList.size(), 1);
    QCOMPARE(lists.deleteList.size(), 1);
    QCOMPARE(lists.postInstallList.size(), 1);
}

void TestMakeDownloadReplaceList::taskDeletedMidCompile()
{
    QString ini = "[client]\n";
    for (int i = 0; i < 200; ++i) {
        install(QString("f%1").arg(i), QByteArray(4096, char(i)));
        ini += QString("f%1=").arg(i) + fileLine("new") + "\n";
    }
    writeIni(1, ini);
    Configuration config;
    config.m_ClientUpdate = 1;
    config.m_TempDir = m_Temp;
    config.m_InstallDir = m_Install;
    auto* task = new MakeDownloadReplaceListTaskSpecification(&config, &m_Output, nullptr, 0.05);
    QSignalSpy finished(task, &TaskSpecification::finished);
    task->execute();
    // The worker fills the task's lists; deleting the task must not pull
    // them away from under it.
    delete task;
    QTest::qWait(20);
    QVERIFY(m_Output.replaceList.isEmpty());
}

void TestMakeDownloadReplaceList::linesForOneInstalledPath_data()
{
    QTest::addColumn<QString>("lines");
    QTest::addColumn<QString>("replaceKey");
    QTest::addColumn<QString>("installPath");
    QTest::addColumn<QString>("downloadKey");
    QTest::addColumn<QString>("failure");
    const QString plain = "lib.so=" + fileLine("lib v2") + "\n";
    const QString packed = "lib.so._lzma2_=" + fileLine("packed", "lib v2", "lib.so") + "\n";
    const QString patch = "lib.so_patch_=" + patchLine("p", "lib v1", "lib.so") + "\n";
    QTest::newRow("plain, then packed") << plain + packed << "lib.so._lzma2_"
                                        << "lib.so"
                                        << "lib.so._lzma2_" << QString();
    QTest::newRow("packed, then plain")
        << "a.gz=" + fileLine("packed", "lib v2", "lib.so") + "\n" + plain << "a.gz"
        << "lib.so"
        << "a.gz" << QString();
    QTest::newRow("patch applies") << plain + packed + patch << "lib.so._lzma2_"
                                   << "lib.so"
                                   << "lib.so_patch_" << QString();
    QTest::newRow("not installed")
        << "new.so=" + fileLine("n") + "\nnew.so.gz=" + fileLine("gz", "n", "new.so") + "\n"
        << "new.so.gz"
        << "new.so"
        << "new.so.gz" << QString();
    QTest::newRow("dot and slashes")
        << plain + "x.gz=" + fileLine("packed", "lib v2", ".//./lib.so") + "\n"
        << "x.gz"
        << "lib.so"
        << "x.gz" << QString();
    // The directory does not exist yet: the replacement has to make it.
    QTest::newRow("dot, new directory")
        << "newdir/f=" + fileLine("n") + "\nx.gz=" + fileLine("gz", "n", "newdir/./f") + "\n"
        << "x.gz"
        << "newdir/f"
        << "x.gz" << QString();
    QTest::newRow("dot, new directory, packed first")
        << "a.gz=" + fileLine("gz", "n", "newdir/./f") + "\nnewdir/f=" + fileLine("n") + "\n"
        << "a.gz"
        << "newdir/f"
        << "a.gz" << QString();
    // Hashes are hexadecimal: the letter case says nothing about the content.
    QTest::newRow("upper-case hash")
        << plain + "x.gz=" + fileLine("packed") + "::" + sha("lib v2").toUpper() + "::6::lib.so\n"
        << "x.gz"
        << "lib.so"
        << "x.gz" << QString();
    QTest::newRow("different contents")
        << "lib.so=" + fileLine("lib v3") + "\n" + packed << QString() << QString() << QString()
        << "Product ini lists lib.so with different contents";
    QTest::newRow("different contents, dot")
        << "a/b=" + fileLine("b") + "\nb.gz=" + fileLine("gz", "other", "a/./b") + "\n"
        << QString() << QString() << QString() << "Product ini lists a/b with different contents";
}

void TestMakeDownloadReplaceList::linesForOneInstalledPath()
{
    QFETCH(QString, lines);
    QFETCH(QString, replaceKey);
    QFETCH(QString, installPath);
    QFETCH(QString, downloadKey);
    QFETCH(QString, failure);
    install("lib.so", "lib v1");
    install("a/b", "a");
    writeIni(1, "[client]\n" + lines);
    const Compile result = compile(1);
    QCOMPARE(result.ok, failure.isEmpty());
    if (!result.ok) {
        QVERIFY2(result.messages.contains(failure), qPrintable(result.messages.join('\n')));
        return;
    }
    QCOMPARE(result.replaceKeys(), QStringList({replaceKey}));
    QCOMPARE(result.lists.replaceList.at(0).installPath(), installPath);
    QCOMPARE(result.downloadKeys(), QStringList({downloadKey}));
}

// A line that gives way to a cheaper one takes only its own download along,
// not one of the same name in another section.
void TestMakeDownloadReplaceList::supersededDownloadIsTheSectionsOwn()
{
    writeIni(1,
        "[client]\nlib.so=" + fileLine("lib v2")
            + "\nlib.so.gz=" + fileLine("packed", "lib v2", "lib.so")
            + "\n[a]\nlib.so=" + fileLine("other packed", "other", "other") + "\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QStringList downloads;
    for (const DownloadEntry& entry : result.lists.downloadList)
        downloads << entry.section + "/" + entry.key;
    QCOMPARE(downloads, QStringList({"a/lib.so", "client/lib.so.gz"}));
}

void TestMakeDownloadReplaceList::pathsLeavingDirectoriesAreInvalid_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("targetPath");
    QTest::newRow("absolute key") << "/tmp/kv-evil"
                                  << "";
    QTest::newRow("parent key") << "../evil"
                                << "";
    QTest::newRow("nested parent key") << "bin/../../evil"
                                       << "";
    QTest::newRow("absolute target") << "evil.gz"
                                     << "/tmp/kv-evil";
    QTest::newRow("parent target") << "evil.gz"
                                   << "../evil";
    QTest::newRow("parent key with target") << "../evil.gz"
                                            << "evil";
    QTest::newRow("directory itself") << "evil.gz"
                                      << ".";
}

void TestMakeDownloadReplaceList::pathsLeavingDirectoriesAreInvalid()
{
    QFETCH(QString, key);
    QFETCH(QString, targetPath);
    const QString value
        = targetPath.isEmpty() ? fileLine("evil") : fileLine("evil", "evil", targetPath);
    writeIni(1, "[client]\n" + key + "=" + value + "\ngood=" + fileLine("good") + "\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QCOMPARE(result.messages.count(warning("client")), 1);
    QCOMPARE(result.replaceKeys(), QStringList({"good"}));
    QCOMPARE(result.downloadKeys(), QStringList({"good"}));
}

void TestMakeDownloadReplaceList::unsafePatchLineFailsCompile()
{
    install("lib.so", "v1");
    writeIni(1,
        "[client]\nlib.so.gz=" + fileLine("packed", "v2", "lib.so")
            + "\n../lib.so_patch_=" + patchLine("p", "v1", "lib.so") + "\n");
    const Compile result = compile(1);
    QVERIFY(!result.ok);
    QVERIFY(result.warned("client"));

    writeIni(1,
        "[client]\nlib.so.gz=" + fileLine("packed", "v2", "lib.so")
            + "\nlib.so_patch_=" + patchLine("p", "v1", "/lib.so") + "\n");
    QVERIFY(!compile(1).ok);
}

void TestMakeDownloadReplaceList::stageOneCopyStaysInside()
{
    // A current file named through ".." would be copied next to the
    // temporary directory; the line is refused instead.
    writeFile(m_Root->filePath("outside/secret"), "secret");
    writeIni(0, "[update]\n../outside/secret=" + fileLine("secret") + "\n");
    const Compile result = compile(0);
    QVERIFY(result.ok);
    QVERIFY(result.warned("update"));
    QVERIFY(result.lists.replaceList.isEmpty());
    QCOMPARE(QDir(m_Root->filePath("outside")).entryList(QDir::Files), QStringList({"secret"}));
    QCOMPARE(QDir(m_Temp).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
        QStringList({productIniFileName(0)}));
}

void TestMakeDownloadReplaceList::unsafeDeleteAndCommandLinesAreInvalid()
{
    writeFile(m_Root->filePath("outside/victim"), "x");
    install("inside", "x");
    writeIni(1,
        QString("[delete]\n../outside/victim=0\n") + m_Root->filePath("outside/victim")
            + "=0\n.=2\ninside=0\n[postinstall]\n../../bin/sh=linux32\nok.sh=linux32\n");
    const Compile result = compile(1);
    QVERIFY(result.ok);
    QCOMPARE(result.messages.count(warning("delete")), 3);
    QCOMPARE(result.messages.count(warning("postinstall")), 1);
    QCOMPARE(result.lists.deleteList.size(), 1);
    QCOMPARE(result.lists.deleteList.at(0).path, QString("inside"));
    QCOMPARE(result.lists.postInstallList.size(), 1);
    QCOMPARE(result.lists.postInstallList.at(0).command, QString("ok.sh"));
}

QTEST_GUILESS_MAIN(TestMakeDownloadReplaceList)
#include "tst_makedownloadreplacelist.moc"
