#include "downloadfiletaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"

#include <QFile>

DownloadFileTaskSpecification::DownloadFileTaskSpecification(const DownloadEntry& entry,
    QNetworkAccessManager* manager, Configuration* config, QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, weight, parent)
    , m_Section(entry.section)
    , m_Key(entry.key)
    , m_Hash(entry.hash)
    , m_Size(entry.size)
    , m_Manager(manager)
    , m_Config(config)
    , m_DownloadTask(nullptr)
    , m_Aborted(false)
{
}

QString DownloadFileTaskSpecification::urlPath() const
{
    return m_Section + QLatin1Char('/') + m_Key;
}

QString DownloadFileTaskSpecification::targetFile() const
{
    return m_Config->m_TempDir + QLatin1Char('/') + m_Key;
}

void DownloadFileTaskSpecification::execute()
{
    makeSubtasksAndStart(0);
}

void DownloadFileTaskSpecification::makeSubtasksAndStart(int failedAttempts)
{
    m_DownloadTask = new DownloadTaskSpecification(
        m_Manager, urlPath(), m_Config->m_Version, targetFile(), qint64(m_Size), this, 0.8);
    m_DownloadTask->setRetryCount(failedAttempts);
    addSubtask(m_DownloadTask);

    auto* check = new CheckSignatureTaskSpecification(targetFile(), m_Hash, true, this, 0.2);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
        &DownloadFileTaskSpecification::onSigCheckDone);
    addSubtask(check);

    setState(STATE_RUNNING);
    startSubtasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*)
{
    if (pass)
        return;
    // The check has already said "Signature check failed for ..."; what it
    // checked must never be installed.
    QFile::remove(targetFile());
    const int failedAttempts = m_DownloadTask->retryCount() + 1;
    if (failedAttempts <= DownloadTaskSpecification::kMaxRestarts && !m_Aborted && !m_Cancel) {
        // The check ends failed right after this returns; it is no longer
        // connected then, so only the new round decides this task's end.
        clearSubtasks();
        makeSubtasksAndStart(failedAttempts);
        return;
    }
    emit message(QStringLiteral("Unable to download %1").arg(urlPath()));
}

void DownloadFileTaskSpecification::abort(TaskSpecification* cause)
{
    m_Aborted = true;
    ComposedTaskSpecification::abort(cause);
}

void DownloadFileTaskSpecification::reset()
{
    clearSubtasks();
    m_DownloadTask = nullptr;
    m_Aborted = false;
    // With no children left this only clears the run's flags and state.
    ComposedTaskSpecification::reset();
}
