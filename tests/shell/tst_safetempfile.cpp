#include "safetempfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include "shelltestfiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Cache and marker files in the shared temporary directory: only what belongs
// to the running user alone is read or written, and links are never followed.
class TestSafeTempFile : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_Temp;

    QString path(const QString& name) const { return m_Temp.filePath(name); }
    QString victim() const { return path(QStringLiteral("victim")); }

    // Places the kind of entry the test names at target.
    void plant(const QString& kind, const QString& target)
    {
        const QByteArray native = QFile::encodeName(target);
        if (kind == QLatin1String("link")) {
            QVERIFY(QFile::link(victim(), target));
        } else if (kind == QLatin1String("dangling link")) {
            QVERIFY(QFile::link(path(QStringLiteral("nowhere")), target));
        } else if (kind == QLatin1String("hard link")) {
            QCOMPARE(::link(QFile::encodeName(victim()).constData(), native.constData()), 0);
        } else if (kind == QLatin1String("fifo")) {
            QCOMPARE(::mkfifo(native.constData(), 0600), 0);
        } else if (kind == QLatin1String("directory")) {
            QVERIFY(QDir().mkdir(target));
        } else if (kind == QLatin1String("writable by others")) {
            writeFile(target, "planted");
            QCOMPARE(::chmod(native.constData(), 0666), 0);
        } else if (kind == QLatin1String("another user's")) {
            if (::geteuid() != 0)
                QSKIP("changing an owner needs root");
            writeFile(target, "planted");
            QCOMPARE(::chown(native.constData(), 65534, 65534), 0);
        }
    }

    static void addPlantRows()
    {
        QTest::addColumn<QString>("kind");
        for (const char* kind : {"link", "dangling link", "hard link", "fifo", "directory",
                 "writable by others", "another user's"})
            QTest::newRow(kind) << QString::fromLatin1(kind);
    }

private slots:
    void init()
    {
        QVERIFY(m_Temp.isValid());
        writeFile(victim(), "victim's data");
    }

    void cleanup()
    {
        for (const QFileInfo& info : QDir(m_Temp.path())
                                         .entryInfoList(QDir::AllEntries | QDir::System
                                             | QDir::Hidden | QDir::NoDotAndDotDot)) {
            if (info.isDir() && !info.isSymLink())
                QDir(info.filePath()).removeRecursively();
            else
                QFile::remove(info.filePath());
        }
    }

    void writesAndReadsOwnFile()
    {
        const QString file = path(QStringLiteral("cache"));
        QVERIFY(SafeTempFile::writeFile(file, "first content, longer"));
        QVERIFY(SafeTempFile::writeFile(file, "second"));
        QCOMPARE(readAll(file), QByteArray("second"));
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(file).constData(), &st), 0);
        QCOMPARE(int(st.st_mode & 07777), 0600);
        QByteArray data;
        QVERIFY(SafeTempFile::readFile(file, 1 << 20, &data));
        QCOMPARE(data, QByteArray("second"));
        QVERIFY(SafeTempFile::readFile(file, 3, &data));
        QCOMPARE(data, QByteArray("sec"));
    }

    void plantedEntryIsNotWritten_data() { addPlantRows(); }
    void plantedEntryIsNotWritten()
    {
        QFETCH(QString, kind);
        const QString file = path(QStringLiteral("cache"));
        plant(kind, file);
        QVERIFY(!SafeTempFile::writeFile(file, "new content"));
        QCOMPARE(readAll(victim()), QByteArray("victim's data"));
        if (QFileInfo(file).isFile() && !QFileInfo(file).isSymLink() && kind != "hard link")
            QCOMPARE(readAll(file), QByteArray("planted"));
    }

    void plantedEntryIsNotRead_data() { addPlantRows(); }
    void plantedEntryIsNotRead()
    {
        QFETCH(QString, kind);
        const QString file = path(QStringLiteral("cache"));
        plant(kind, file);
        QByteArray data = "left over";
        QVERIFY(!SafeTempFile::readFile(file, 1 << 20, &data) || kind == "hard link");
        if (kind != "hard link")
            QVERIFY(data.isEmpty());
    }

    void missingFileIsNotRead()
    {
        QByteArray data = "left over";
        QVERIFY(!SafeTempFile::readFile(path(QStringLiteral("missing")), 100, &data));
        QVERIFY(data.isEmpty());
    }

    void privateDirectory_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("missing") << "missing" << true;
        QTest::newRow("own 0755") << "own" << true;
        QTest::newRow("link to a directory") << "link" << false;
        QTest::newRow("link, named with a final slash") << "link/" << false;
        QTest::newRow("writable by the group") << "group" << false;
        QTest::newRow("writable by others") << "others" << false;
        QTest::newRow("a file") << "file" << false;
        QTest::newRow("another user's") << "owner" << false;
    }

    void privateDirectory()
    {
        QFETCH(QString, kind);
        QFETCH(bool, accepted);
        const QString dir = path(QStringLiteral("logs"));
        const QByteArray native = QFile::encodeName(dir);
        if (kind.startsWith(QLatin1String("link"))) {
            QVERIFY(QDir().mkdir(path(QStringLiteral("elsewhere"))));
            QVERIFY(QFile::link(path(QStringLiteral("elsewhere")), dir));
        } else if (kind == QLatin1String("file")) {
            writeFile(dir, "x");
        } else if (kind != QLatin1String("missing")) {
            QVERIFY(QDir().mkdir(dir));
            const mode_t mode = kind == QLatin1String("group") ? 0770
                : kind == QLatin1String("others")              ? 0777
                                                               : 0755;
            QCOMPARE(::chmod(native.constData(), mode), 0);
            if (kind == QLatin1String("owner")) {
                if (::geteuid() != 0)
                    QSKIP("changing an owner needs root");
                QCOMPARE(::chown(native.constData(), 65534, 65534), 0);
            }
        }
        const int fd = SafeTempFile::openPrivateDirectory(
            kind == QLatin1String("link/") ? dir + QLatin1Char('/') : dir);
        QCOMPARE(fd >= 0, accepted);
        if (fd >= 0)
            ::close(fd);
        if (kind == QLatin1String("missing")) {
            struct stat st;
            QCOMPARE(::stat(native.constData(), &st), 0);
            QCOMPARE(int(st.st_mode & 07777), 0700);
        }
    }

    void removeLeavesLinkTargetsAndOthersFiles()
    {
        const QString link = path(QStringLiteral("marker"));
        QVERIFY(QFile::link(victim(), link));
        SafeTempFile::removeFile(link);
        QVERIFY(!QFileInfo(link).isSymLink());
        QCOMPARE(readAll(victim()), QByteArray("victim's data"));
        SafeTempFile::removeFile(path(QStringLiteral("missing")));
        if (::geteuid() == 0) {
            const QString other = path(QStringLiteral("others"));
            writeFile(other, "x");
            QCOMPARE(::chown(QFile::encodeName(other).constData(), 65534, 65534), 0);
            SafeTempFile::removeFile(other);
            QVERIFY(QFileInfo::exists(other));
        }
    }
};

QTEST_GUILESS_MAIN(TestSafeTempFile)
#include "tst_safetempfile.moc"
