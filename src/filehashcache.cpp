#include "filehashcache.h"

#include "checksigfunc.h"
#include "filedigest.h"

#include <QThread>

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// More readers than this gain nothing on a disk and crowd the other work.
constexpr int maxHashThreads = 4;

QString digestOrNull(const QString& path)
{
    QString digest;
    return sha512HexOfFile(path, &digest) == DigestStatus::Ok ? digest : QString();
}

} // namespace

void FileHashCache::hashAll(const QStringList& paths)
{
    std::vector<QString> pending;
    for (const QString& path : paths) {
        if (!m_Digests.contains(path))
            pending.push_back(path);
    }
    std::sort(pending.begin(), pending.end());
    pending.erase(std::unique(pending.begin(), pending.end()), pending.end());

    // Each thread takes the next file and writes only its own result slot.
    std::vector<QString> digests(pending.size());
    std::atomic<size_t> next {0};
    auto worker = [&] {
        for (size_t i = next++; i < pending.size(); i = next++)
            digests[i] = digestOrNull(pending[i]);
    };
    const int threadCount = std::clamp(QThread::idealThreadCount(), 1, maxHashThreads);
    std::vector<std::thread> threads;
    for (int i = 1; i < threadCount && size_t(i) < pending.size(); ++i) {
        try {
            threads.emplace_back(worker);
        } catch (const std::system_error&) {
            break; // fewer helpers; this thread still hashes everything left
        }
    }
    worker();
    for (std::thread& thread : threads)
        thread.join();

    for (size_t i = 0; i < pending.size(); ++i)
        m_Digests.insert(pending[i], digests[i]);
}

bool FileHashCache::matches(const QString& path, const QString& expected)
{
    if (expected.isEmpty())
        return CheckSigFunc(path, expected).run();
    auto known = m_Digests.constFind(path);
    if (known == m_Digests.constEnd())
        known = m_Digests.insert(path, digestOrNull(path));
    return !known->isNull() && digestMatches(*known, expected);
}

void FileHashCache::forget(const QString& path)
{
    m_Digests.remove(path);
}
