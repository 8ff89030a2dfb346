#ifndef FILETASKSTESTHELPERS_H
#define FILETASKSTESTHELPERS_H

#include "compressedfile.h"
#include "configuration.h"
#include "ensemblepatchmaker.h"
#include "taskspecification.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

#include <sys/stat.h>
#include <zlib.h>

// Helpers shared by the file-task tests: real files in temporary
// directories, packed with the project's own writers.

inline bool writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

inline QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline QString sha512Of(const QByteArray& content)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(content, QCryptographicHash::Sha512).toHex());
}

inline int modeOf(const QString& path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode & 07777)
                                                                    : -1;
}

inline bool setMode(const QString& path, int mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode_t(mode)) == 0;
}

// Content that differs from release to release in places, like a program.
inline QByteArray releaseBytes(int size, int release, int seed = 0)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = 2463534242u + quint32(seed) * 7919u;
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        data[i] = char((i % 97 < 60) ? (i / 7 + seed) & 0xff : x & 0x3f);
    }
    for (int i = release; i < size; i += 4093)
        data[i] = char(data[i] + release * 31 + 1);
    return data;
}

inline bool gzipFile(const QString& path, const QByteArray& content)
{
    gzFile out = gzopen(QFile::encodeName(path).constData(), "wb");
    if (!out)
        return false;
    const bool ok = content.isEmpty()
        || gzwrite(out, content.constData(), unsigned(content.size())) == content.size();
    return gzclose(out) == Z_OK && ok;
}

inline bool packFile(const QString& plain, const QString& packed)
{
    return kvpatch::CompressFile(plain.toStdString(), packed.toStdString(), 1);
}

inline bool makePatch(const QString& oldFile, const QString& newFile, const QString& patch)
{
    return kvpatchmaker::MakeEnsemblePatchFile(
        oldFile.toStdString(), newFile.toStdString(), patch.toStdString());
}

// Every entry below a directory: relative path to content hash and mode,
// or to "dir" and mode for directories.
inline QMap<QString, QString> snapshot(const QString& root)
{
    QMap<QString, QString> entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        const QString what = info.isDir() ? QStringLiteral("dir") : sha512Of(readFile(path));
        entries.insert(QDir(root).relativeFilePath(path),
            what + QLatin1Char(' ') + QString::number(modeOf(path), 8));
    }
    return entries;
}

inline QStringList messageTexts(const QSignalSpy& spy)
{
    QStringList out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toString();
    return out;
}

// Executes the task and waits for its end through the event loop.
inline bool runTask(TaskSpecification* task, int timeoutMs = 60000)
{
    task->execute();
    return QTest::qWaitFor([task] { return task->state() != STATE_RUNNING; }, timeoutMs);
}

// A small tmpfs, for running out of space. Needs the right to mount.
class SmallTmpfs
{
public:
    SmallTmpfs(const QString& path, int kib)
        : m_Path(path)
    {
        QDir().mkpath(path);
        m_Mounted = QProcess::execute(QStringLiteral("mount"),
                        {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                            QStringLiteral("size=%1k").arg(kib), QStringLiteral("tmpfs"), path})
            == 0;
    }
    ~SmallTmpfs()
    {
        if (m_Mounted)
            QProcess::execute(QStringLiteral("umount"), {m_Path});
        QDir().rmdir(m_Path);
    }
    bool mounted() const { return m_Mounted; }

private:
    QString m_Path;
    bool m_Mounted = false;
};

#endif
