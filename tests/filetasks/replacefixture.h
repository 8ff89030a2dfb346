#ifndef REPLACEFIXTURE_H
#define REPLACEFIXTURE_H

#include "filetaskstesthelpers.h"
#include "replaceentry.h"

#include <QTemporaryDir>

#include <memory>

// An installation of release 1, the update's temporary directory holding
// what the downloads fetched for release 2 (plain files, a container, a
// gzip file, a patch), the replace list for it, and release 2 as it must
// end up, written out for comparison.
struct ReplaceFixture
{
    std::unique_ptr<QTemporaryDir> root;
    QString install;
    QString temp;
    QString expected;
    ReplaceList list;

    QString installed(const QString& relative) const
    {
        return install + QLatin1Char('/') + relative;
    }
    QString fetched(const QString& key) const { return temp + QLatin1Char('/') + key; }

    bool setUp(const QString& installDir = QString())
    {
        root = std::make_unique<QTemporaryDir>();
        if (!root->isValid())
            return false;
        install = installDir.isEmpty() ? root->filePath(QStringLiteral("install")) : installDir;
        temp = root->filePath(QStringLiteral("temp"));
        expected = root->filePath(QStringLiteral("expected"));
        QDir().mkpath(install);
        QDir().mkpath(temp);
        QDir().mkpath(expected);
        list.clear();
        bool ok = true;
        // Release 1.
        ok &= installFile(QStringLiteral("plain.txt"), "plain text of release 1\n", 0644);
        ok &= installFile(QStringLiteral("update"), releaseBytes(40000, 1, 1), 0777);
        ok &= installFile(QStringLiteral("lib/libx.so.5"), releaseBytes(120000, 1, 2), 0700);
        ok &= installFile(QStringLiteral("data/packed.bin"), releaseBytes(90000, 1, 3), 0600);
        ok &= installFile(QStringLiteral("prog"), releaseBytes(300000, 1, 4), 0750);
        ok &= installFile(QStringLiteral("untouched.txt"), "not in this update\n", 0640);
        ok &= expect(QStringLiteral("untouched.txt"), "not in this update\n", 0640);
        // Release 2: each way of producing a file once.
        ok &= copyEntry(QStringLiteral("plain.txt"), "plain text of release 2\n", 0644);
        ok &= copyEntry(QStringLiteral("update"), releaseBytes(41000, 2, 1), 0755);
        ok &= containerEntry(QStringLiteral("lib/libx.so.5"), releaseBytes(125000, 2, 2), 0755);
        ok &= gzipEntry(QStringLiteral("data/packed.bin"), releaseBytes(91000, 2, 3), 0600);
        ok &= patchEntry(QStringLiteral("prog"), releaseBytes(301000, 2, 4), 0750);
        // Names that the journal must carry through unchanged.
        ok &= installFile(QStringLiteral("odd %41 name\n.txt"), "odd name of release 1\n", 0644);
        ok &= copyEntry(QStringLiteral("odd %41 name\n.txt"), "odd name of release 2\n", 0644);
        ok &= copyEntry(QStringLiteral("odd dir %2F\n/new %20file.dat"), "new, odd name\n", 0644);
        ok &= copyEntry(QStringLiteral("newdir/sub/new.dat"), "a file new in release 2\n", 0644);
        return ok;
    }

    bool installFile(const QString& relative, const QByteArray& content, int mode)
    {
        return writeFile(installed(relative), content) && setMode(installed(relative), mode);
    }

    bool expect(const QString& relative, const QByteArray& content, int mode)
    {
        const QString path = expected + QLatin1Char('/') + relative;
        return writeFile(path, content) && setMode(path, mode);
    }

    bool copyEntry(const QString& relative, const QByteArray& content, int mode)
    {
        ReplaceEntry entry;
        entry.key = relative;
        list.append(entry);
        return writeFile(fetched(relative), content) && expect(relative, content, mode);
    }

    bool containerEntry(const QString& relative, const QByteArray& content, int mode)
    {
        ReplaceEntry entry;
        entry.key = relative + QStringLiteral("._lzma2_");
        entry.targetPath = relative;
        entry.hash = sha512Of(content);
        entry.size = quint64(content.size());
        list.append(entry);
        const QString plain = root->filePath(QStringLiteral("plain"));
        return writeFile(plain, content)
            && QDir().mkpath(QFileInfo(fetched(entry.key)).absolutePath())
            && packFile(plain, fetched(entry.key)) && expect(relative, content, mode);
    }

    bool gzipEntry(const QString& relative, const QByteArray& content, int mode)
    {
        ReplaceEntry entry;
        entry.key = relative + QStringLiteral(".gz");
        entry.targetPath = relative;
        entry.hash = sha512Of(content);
        entry.size = quint64(content.size());
        list.append(entry);
        return QDir().mkpath(QFileInfo(fetched(entry.key)).absolutePath())
            && gzipFile(fetched(entry.key), content) && expect(relative, content, mode);
    }

    bool patchEntry(const QString& relative, const QByteArray& content, int mode)
    {
        ReplaceEntry entry;
        entry.key = relative;
        entry.targetPath = relative;
        entry.patchKey = relative + QStringLiteral("._patch_");
        entry.hash = sha512Of(content);
        entry.size = quint64(content.size());
        list.append(entry);
        const QString plain = root->filePath(QStringLiteral("plain"));
        return writeFile(plain, content)
            && makePatch(installed(relative), plain, fetched(entry.patchKey))
            && expect(relative, content, mode);
    }

    int indexOf(const QString& key) const
    {
        for (int i = 0; i < list.size(); ++i) {
            if (list.at(i).key == key || list.at(i).targetPath == key)
                return i;
        }
        return -1;
    }
};

#endif
