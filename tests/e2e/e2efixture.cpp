#include "e2efixture.h"

#include "childsanitizerlog.h"
#include "compressedfile.h"
#include "cryptwrapper.h"
#include "productini.h"
#include "releasesigning.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QTimer>

#include <algorithm>

#include <sys/stat.h>

namespace {

// A run that takes longer than this is stuck; the test ends it.
constexpr int kRunTimeoutMs = 120000;

QStringList relativeEntries(const QString& root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        entries << QDir(root).relativeFilePath(it.filePath());
    }
    entries.sort();
    return entries;
}

QByteArray randomBytes(quint32 seed, int size)
{
    QRandomGenerator generator(seed);
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char(generator.bounded(256));
    return data;
}

QByteArray commandScript(const char* exitVariable)
{
    return QByteArray(
               "#!/bin/sh\n"
               "if [ -n \"$KV_E2E_CMD_SLEEP\" ]; then sleep \"$KV_E2E_CMD_SLEEP\"; fi\n"
               "if [ -n \"$KV_E2E_CORRUPT\" ]; then\n"
               "  printf 'X' | dd of=\"$KV_E2E_CORRUPT\" bs=1 seek=1000 conv=notrunc 2>/dev/null\n"
               "fi\n"
               "exit ${")
        + exitVariable + ":-0}\n";
}

} // namespace

QString describe(const SessionRun& run)
{
    return QStringLiteral("exit %1%2%3\n%4")
        .arg(run.exitCode)
        .arg(run.killed ? " (killed)" : "")
        .arg(run.sanitizerReports.isEmpty() ? "" : ", sanitizer report printed above")
        .arg(run.output.right(700));
}

QProcessEnvironment environment(const QList<QPair<QString, QString>>& variables)
{
    QProcessEnvironment env;
    for (const auto& variable : variables)
        env.insert(variable.first, variable.second);
    return env;
}

SmallDisk::SmallDisk(const QString& path, qint64 bytes)
    : m_Path(path)
{
    QDir().mkpath(path);
    m_Mounted
        = QProcess::execute(QStringLiteral("mount"),
              {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                  QStringLiteral("size=%1,mode=0700").arg(bytes), QStringLiteral("tmpfs"), path})
        == 0;
}

SmallDisk::~SmallDisk()
{
    if (m_Mounted)
        QProcess::execute(QStringLiteral("umount"), {QStringLiteral("-l"), m_Path});
}

bool SmallDisk::fill(qint64 left)
{
    QFile filler(m_Path + QStringLiteral("/.filler"));
    if (!filler.open(QIODevice::WriteOnly))
        return false;
    const QByteArray block(4096, 'f');
    // Write until the disk is full, then give back what should stay free.
    while (filler.write(block) == block.size() && filler.flush()) { }
    filler.close();
    const qint64 size = QFileInfo(filler.fileName()).size();
    return filler.resize(std::max<qint64>(0, size - left));
}

void SmallDisk::removeFiller()
{
    QFile::remove(m_Path + QStringLiteral("/.filler"));
}

QStringList treeDifferences(const QString& a, const QString& b, const QStringList& ignored)
{
    QStringList left = relativeEntries(a);
    QStringList right = relativeEntries(b);
    QStringList differences;
    for (const QString& path : left) {
        if (ignored.contains(path))
            continue;
        if (!right.contains(path)) {
            differences << QStringLiteral("only in a: ") + path;
            continue;
        }
        const QFileInfo fa(a + '/' + path);
        const QFileInfo fb(b + '/' + path);
        if (fa.isDir() != fb.isDir()
            || (!fa.isDir() && readFile(fa.filePath()) != readFile(fb.filePath())))
            differences << QStringLiteral("differs: ") + path;
    }
    for (const QString& path : right) {
        if (!ignored.contains(path) && !left.contains(path))
            differences << QStringLiteral("only in b: ") + path;
    }
    return differences;
}

bool copyTree(const QString& from, const QString& to)
{
    if (!QDir().mkpath(to))
        return false;
    for (const QString& path : relativeEntries(from)) {
        const QFileInfo info(from + '/' + path);
        const QString target = to + '/' + path;
        if (info.isDir()) {
            if (!QDir().mkpath(target))
                return false;
        } else if (!QFile::copy(info.filePath(), target)) {
            return false;
        }
    }
    return true;
}

bool writeFile(const QString& path, const QByteArray& data, bool executable)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        return false;
    file.close();
    QFileDevice::Permissions mode
        = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    if (executable)
        mode |= QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    return file.setPermissions(mode);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool corruptFile(const QString& path)
{
    QByteArray data = readFile(path);
    if (data.isEmpty())
        return false;
    data[data.size() / 2] = char(data[data.size() / 2] ^ 0x5a);
    return writeFile(path, data);
}

bool truncateFile(const QString& path)
{
    return QFile::resize(path, QFileInfo(path).size() / 2);
}

bool makeInstallations(const QString& oldDir, const QString& newDir)
{
    const QByteArray runScript
        = "#!/bin/sh\ncd \"$(dirname \"$0\")\" && exec ./kv3client_linux_x86 \"$@\"\n";
    const QByteArray data = randomBytes(1, 300 * 1024);
    QByteArray changedData = data;
    // A few edits keep most of the file, as between two real releases.
    for (int at : {1000, 70000, 200000})
        changedData.replace(at, 16, QByteArray(16, 'x'));
    changedData.insert(150000, randomBytes(2, 4096));
    if (!QDir().mkpath(oldDir) || !QDir().mkpath(newDir))
        return false;
    bool ok = QFile::copy(QStringLiteral("/usr/bin/true"), oldDir + "/kv3client_linux_x86")
        && QFile::copy(QStringLiteral("/usr/bin/false"), newDir + "/kv3client_linux_x86");
    for (const QString& dir : {oldDir, newDir}) {
        ok = ok && writeFile(dir + "/kv3client_runscript.sh", runScript, true)
            && writeFile(dir + "/lib/libkv.so", randomBytes(3, 20000))
            && writeFile(dir + "/docs/readme.txt", "The same in both releases.\n");
    }
    ok = ok && writeFile(oldDir + "/data/config.txt", "version=1\n")
        && writeFile(newDir + "/data/config.txt", "version=2\nchannel=alpha\n")
        && writeFile(oldDir + "/data/big.bin", data)
        && writeFile(newDir + "/data/big.bin", changedData)
        && writeFile(oldDir + "/obsolete.txt", "removed in release 2\n")
        && writeFile(oldDir + "/olddir/gone.txt", "removed with its directory\n")
        && writeFile(newDir + "/newdir/sub/new.txt", "new in release 2\n")
        && writeFile(newDir + "/data/assets.bin", randomBytes(4, 200 * 1024))
        && writeFile(oldDir + "/update", "#!/bin/sh\n# updater of release 1\n", true)
        && writeFile(newDir + "/update", "#!/bin/sh\n# updater of release 2\n", true)
        && writeFile(newDir + "/preinstall.sh", commandScript("KV_E2E_PRE_EXIT"), true)
        && writeFile(newDir + "/postinstall.sh", commandScript("KV_E2E_POST_EXIT"), true);
    return ok;
}

bool makeRelease(const QString& oldDir, const QString& newDir, int version, const QString& out,
    QString* log, const QStringList& extraArguments)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    QStringList args = {"--old", oldDir, "--new", newDir, "--version", QString::number(version),
        "--key", QStringLiteral(KV_DEV_PRIVATE_KEY), "--out", out, "--form", "update=plain",
        "--form", "*.sh=plain", "--form", "docs/*=gzip", "--preinstall", "preinstall.sh",
        "--postinstall", "postinstall.sh::from-e2e"};
    args += extraArguments;
    tool.start(QStringLiteral(KV_RELEASEMAKER), args);
    const bool finished = tool.waitForFinished(kRunTimeoutMs);
    if (log)
        *log = QString::fromUtf8(tool.readAll());
    return finished && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

bool addProductIniLines(const QString& versionDir, const QList<QPair<QString, QString>>& lines)
{
    const QString ini = versionDir + '/' + productIniFileName(1);
    {
        QSettings settings(ini, QSettings::IniFormat);
        for (const auto& line : lines)
            settings.setValue(line.first, line.second);
        settings.sync();
        if (settings.status() != QSettings::NoError)
            return false;
    }
    cryptInit();
    const std::string path = QFile::encodeName(ini).toStdString();
    std::string error;
    return kvpatch::CompressFile(path, path + "._lzma2_", 0)
        && signReleaseFile(KV_DEV_PRIVATE_KEY, path, &error);
}

SessionWorld::SessionWorld()
    : m_Root(std::make_unique<QTemporaryDir>())
{
    QDir().mkpath(tmpDir());
    QDir().mkpath(path("config"));
    QDir().mkpath(path("home"));
    ::chmod(QFile::encodeName(tmpDir()).constData(), 0700);
}

void SessionWorld::setChannel(const QString& baseUrl, int version)
{
    QSettings settings(path("config/update.ini"), QSettings::IniFormat);
    settings.setValue(QStringLiteral("Channel/alpha"), baseUrl);
    settings.setValue(QStringLiteral("Channel/alphaRevno"), version);
    settings.sync();
}

void SessionWorld::setUpdateSettings(const QString& programDir, const QString& proxy)
{
    QSettings settings(programDir + "/update.ini", QSettings::IniFormat);
    settings.setValue(QStringLiteral("update/proxy"), proxy);
    settings.sync();
}

void SessionWorld::writeStageTwoSession(
    const QString& programDir, int version, const QString& installDir)
{
    QSettings settings(programDir + "/update.ini", QSettings::IniFormat);
    settings.beginGroup(QStringLiteral("current"));
    settings.setValue(QStringLiteral("version"), version);
    settings.setValue(QStringLiteral("dir"), sessionDir());
    settings.setValue(QStringLiteral("kv3dir"), installDir);
    settings.setValue(QStringLiteral("type"), QStringLiteral("client_linux_x86"));
    settings.endGroup();
    settings.sync();
}

bool SessionWorld::makeSessionDir(int n) const
{
    const QByteArray dir = QFile::encodeName(sessionDir(n));
    return ::mkdir(dir.constData(), 0700) == 0 && ::chmod(dir.constData(), 0700) == 0;
}

SessionRun SessionWorld::run(
    const QString& program, const QStringList& args, const QProcessEnvironment& extra) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& key : env.keys()) {
        if (key.startsWith(QLatin1String("KV_E2E_")))
            env.remove(key);
    }
    env.insert(QStringLiteral("TMPDIR"), tmpDir());
    env.insert(QStringLiteral("KV3_CONFIG_DIR"), path("config"));
    env.insert(QStringLiteral("HOME"), path("home"));
    env.insert(extra);
    const ChildSanitizerLog sanitizerLog(m_Root->path());

    QProcess process;
    process.setProcessEnvironment(sanitizerLog.apply(env));
    process.setWorkingDirectory(path("home"));
    // The driver's debug lines are noise here; its own lines come on stdout.
    process.setStandardErrorFile(path("last-run.log"));
    QEventLoop loop;
    QObject::connect(&process, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), &loop,
        &QEventLoop::quit);
    QObject::connect(&process, &QProcess::errorOccurred, &loop, [&](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart)
            loop.quit();
    });
    QTimer::singleShot(kRunTimeoutMs, &loop, [&]() {
        process.kill();
        loop.quit();
    });
    process.start(program, args);
    // An event loop rather than a blocking wait: an in-process test server
    // must keep answering while the child runs.
    loop.exec();
    process.waitForFinished(1000);

    SessionRun result;
    result.output = QString::fromUtf8(process.readAllStandardOutput());
    for (const QString& line : result.output.split('\n')) {
        if (line.startsWith(QLatin1String("message: ")))
            result.messages << line.mid(9);
    }
    result.killed = process.exitStatus() == QProcess::CrashExit;
    result.exitCode = result.killed ? -1 : process.exitCode();
    result.sanitizerReports = sanitizerLog.takeReports();
    return result;
}

QString SessionWorld::driver()
{
    return QStringLiteral(KV_E2E_DRIVER);
}
