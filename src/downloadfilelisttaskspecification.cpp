#include "downloadfilelisttaskspecification.h"

#include "configuration.h"
#include "downloadfiletaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(
    const QList<DownloadEntry>* list, QNetworkAccessManager* manager, Configuration* config,
    QObject* parent, qreal weight)
    : ComposedTaskSpecification(config->m_Streams, weight, parent)
    , m_List(list)
    , m_Manager(manager)
    , m_Config(config)
    , m_TotalBytes(0)
{
}

void DownloadFileListTaskSpecification::execute()
{
    if (m_List->isEmpty()) {
        emit message(QStringLiteral("No downloads needed"));
        setFinished();
        return;
    }
    if (!createTargetDirs())
        return;
    emit message(QStringLiteral("Downloading files"));
    const qreal weight = 1.0 / m_List->size();
    for (const DownloadEntry& entry : *m_List) {
        addSubtask(new DownloadFileTaskSpecification(entry, m_Manager, m_Config, this, weight));
        m_TotalBytes += qint64(entry.size);
    }
    setState(STATE_RUNNING);
    startSubtasks();
}

bool DownloadFileListTaskSpecification::createTargetDirs()
{
    QDir tempDir(m_Config->m_TempDir);
    QSet<QString> made {QStringLiteral(".")};
    for (const DownloadEntry& entry : *m_List) {
        const int slash = entry.key.lastIndexOf(QLatin1Char('/'));
        const QString dir = slash < 0 ? QStringLiteral(".") : entry.key.left(slash);
        if (made.contains(dir))
            continue;
        if (!tempDir.mkpath(dir)) {
            emit message(QStringLiteral("Could not create dir %1")
                             .arg(QFileInfo(m_Config->m_TempDir).canonicalFilePath()
                                 + QLatin1Char('/') + dir));
            setError();
            return false;
        }
        made.insert(dir);
    }
    return true;
}

void DownloadFileListTaskSpecification::getDownloadProgress(
    quint64* done, quint64* total, quint64* speed, bool* downloading)
{
    ComposedTaskSpecification::getDownloadProgress(done, total, speed, downloading);
    *total = quint64(m_TotalBytes);
}

void DownloadFileListTaskSpecification::reset()
{
    clearSubtasks();
    m_TotalBytes = 0;
    // With no children left this only clears the run's flags and state.
    ComposedTaskSpecification::reset();
}
