#include "filehashcache.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QString sha512Of(const QByteArray& content)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(content, QCryptographicHash::Sha512).toHex());
}

void writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

} // namespace

class TestFileHashCache : public QObject
{
    Q_OBJECT

private slots:
    void init() { QVERIFY(m_Dir.isValid()); }

    void matchesWithoutRegardToCase();
    void eachFileIsHashedOnce();
    void forgetRehashes();
    void hashAllCoversManyFiles();
    void unreadableMatchesNothing();
    void emptyExpectedHashIsSignatureCheck();

private:
    QTemporaryDir m_Dir;
};

void TestFileHashCache::matchesWithoutRegardToCase()
{
    const QString path = m_Dir.filePath("a");
    writeFile(path, "content");
    FileHashCache cache;
    QVERIFY(cache.matches(path, sha512Of("content")));
    QVERIFY(cache.matches(path, sha512Of("content").toUpper()));
    QVERIFY(!cache.matches(path, sha512Of("other")));
}

void TestFileHashCache::eachFileIsHashedOnce()
{
    // The first comparison reads the file; later ones reuse its digest even
    // though the file has changed on disk since.
    const QString path = m_Dir.filePath("once");
    writeFile(path, "before");
    FileHashCache cache;
    QVERIFY(cache.matches(path, sha512Of("before")));
    writeFile(path, "after");
    QVERIFY(cache.matches(path, sha512Of("before")));
    QVERIFY(!cache.matches(path, sha512Of("after")));

    const QString prefetched = m_Dir.filePath("prefetched");
    writeFile(prefetched, "first");
    cache.hashAll({prefetched, prefetched});
    writeFile(prefetched, "second");
    cache.hashAll({prefetched});
    QVERIFY(cache.matches(prefetched, sha512Of("first")));
}

void TestFileHashCache::forgetRehashes()
{
    const QString path = m_Dir.filePath("forget");
    writeFile(path, "before");
    FileHashCache cache;
    QVERIFY(cache.matches(path, sha512Of("before")));
    writeFile(path, "after");
    cache.forget(path);
    QVERIFY(cache.matches(path, sha512Of("after")));
}

void TestFileHashCache::hashAllCoversManyFiles()
{
    QStringList paths;
    for (int i = 0; i < 50; ++i) {
        paths << m_Dir.filePath(QString("many%1").arg(i));
        writeFile(paths.last(), QByteArray(i * 1000 + 1, char('a' + i % 26)));
    }
    paths << m_Dir.filePath("missing");
    FileHashCache cache;
    cache.hashAll(paths);
    for (int i = 0; i < 50; ++i)
        QVERIFY(cache.matches(paths.at(i), sha512Of(QByteArray(i * 1000 + 1, char('a' + i % 26)))));
    QVERIFY(!cache.matches(paths.last(), sha512Of(QByteArray())));
}

void TestFileHashCache::unreadableMatchesNothing()
{
    FileHashCache cache;
    QVERIFY(!cache.matches(m_Dir.filePath("missing"), sha512Of(QByteArray())));
    QDir(m_Dir.path()).mkdir("directory");
    QVERIFY(!cache.matches(m_Dir.filePath("directory"), sha512Of(QByteArray())));
}

void TestFileHashCache::emptyExpectedHashIsSignatureCheck()
{
    // Without a signature file beside it no file passes an empty hash,
    // whatever its content.
    const QString path = m_Dir.filePath("empty-hash");
    writeFile(path, QByteArray());
    FileHashCache cache;
    QVERIFY(!cache.matches(path, QString()));
}

QTEST_GUILESS_MAIN(TestFileHashCache)
#include "tst_filehashcache.moc"
