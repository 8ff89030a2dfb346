#include "inidownloadtaskspecification.h"

#include "checksignaturetaskspecification.h"
#include "configuration.h"
#include "downloadtaskspecification.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "productini.h"

#include <QDebug>
#include <QFile>

namespace {

// Weight of each fetched file; the check takes what is left of 1.0.
constexpr qreal kFetchWeight = 0.3333;

} // namespace

IniDownloadTaskSpecification::IniDownloadTaskSpecification(
    QNetworkAccessManager* manager, Configuration* config, QObject* parent, qreal weight)
    : ComposedTaskSpecification(1, weight, parent)
    , m_Manager(manager)
    , m_Config(config)
{
}

QString IniDownloadTaskSpecification::iniName(int clientUpdate)
{
    return productIniFileName(clientUpdate);
}

QString IniDownloadTaskSpecification::packedName(int clientUpdate)
{
    return iniName(clientUpdate) + QStringLiteral("._lzma2_");
}

QString IniDownloadTaskSpecification::signatureName(int clientUpdate)
{
    return iniName(clientUpdate) + QStringLiteral(".sig");
}

void IniDownloadTaskSpecification::execute()
{
    emit message(QStringLiteral("Download / check product ini"));
    makeSubtasksAndStart();
}

void IniDownloadTaskSpecification::makeSubtasksAndStart()
{
    const int stage = m_Config->m_ClientUpdate;
    const QString dir = m_Config->m_TempDir + QLatin1Char('/');
    const QString ini = iniName(stage);
    const QString packed = packedName(stage);
    const QString signature = signatureName(stage);
    qDebug() << "makeSubtasksAndStart" << ini << packed;

    qreal checkWeight = 1.0;
    if (!QFile::exists(dir + ini)) {
        qDebug() << "Requesting" << packed;
        addSubtask(new DownloadTaskSpecification(
            m_Manager, packed, m_Config->m_Version, dir + packed, -1, this, kFetchWeight));
        // The unpack is quick next to the download; giving it no weight
        // keeps this task's progress within its own weight. The ini is text,
        // only ever packed in the plain form, and is not checked yet.
        auto* unpack = new FileUnpackTaskSpecification_lzma2(
            nullptr, dir + packed, dir + ini, this, 0.0, kRestoredIniLimit, true);
        // Connected before the composed handling, so that the files are gone
        // by the time this task reports the failure.
        connect(unpack, &TaskSpecification::canceled, this,
            &IniDownloadTaskSpecification::onUnpackEnded);
        addSubtask(unpack);
        checkWeight -= kFetchWeight;
    }
    if (!QFile::exists(dir + signature)) {
        qDebug() << "Requesting" << signature;
        addSubtask(new DownloadTaskSpecification(
            m_Manager, signature, m_Config->m_Version, dir + signature, -1, this, kFetchWeight));
        checkWeight -= kFetchWeight;
    }
    auto* check
        = new CheckSignatureTaskSpecification(dir + ini, QString(), true, this, checkWeight);
    connect(check, &CheckSignatureTaskSpecification::checkDone, this,
        &IniDownloadTaskSpecification::onSigCheckDone);
    addSubtask(check);
    setState(STATE_RUNNING);
    startSubtasks();
}

void IniDownloadTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*)
{
    if (pass)
        return;
    qDebug() << "Failed to verify product ini, aborting";
    // Kept, a rejected file would fail every later run of this release,
    // since files already present are not fetched again.
    removeRejectedFiles();
    emit message(QStringLiteral("Could not verify the product ini file. Aborting"));
    setError();
}

void IniDownloadTaskSpecification::onUnpackEnded(TaskSpecification* unpack)
{
    // A container that does not restore is of no use to a later run either,
    // and may be large.
    if (unpack->state() == STATE_FAILED)
        removeRejectedFiles();
}

void IniDownloadTaskSpecification::removeRejectedFiles()
{
    const int stage = m_Config->m_ClientUpdate;
    const QString dir = m_Config->m_TempDir + QLatin1Char('/');
    for (const QString& name : {iniName(stage), packedName(stage), signatureName(stage)}) {
        if (QFile::exists(dir + name) && !QFile::remove(dir + name))
            qDebug() << "Could not remove rejected" << dir + name;
    }
}

void IniDownloadTaskSpecification::reset()
{
    clearSubtasks();
    ComposedTaskSpecification::reset();
}
