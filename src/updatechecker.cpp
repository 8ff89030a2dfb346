#include "updatechecker.h"

#include "buildconfig.h"
#include "httpfetch.h"
#include "versionsreply.h"

#include <QUrl>

const char* const defaultVersionsUrl = KV_VERSIONS_URL;

void getVersionsUrl(QString& url)
{
    url = QString::fromLatin1(defaultVersionsUrl);
}

UpdateChecker::UpdateChecker(QObject* parent, const QString& versionsUrl, int timeoutMs)
    : QObject(parent)
    , m_VersionsUrl(versionsUrl)
    , m_TimeoutMs(timeoutMs)
{
}

void UpdateChecker::check()
{
    const QNetworkRequest request = HttpFetch::request(QUrl(m_VersionsUrl, QUrl::TolerantMode));
    HTTPDownloader* downloader = new HTTPDownloader(request, m_TimeoutMs);
    connect(downloader, &HTTPDownloader::download_available, this,
        &UpdateChecker::on_updateCheckAvailable);
    // The downloader deletes itself on this thread once its own has ended.
    downloader->start(QThread::InheritPriority);
}

QPair<QString, QString> UpdateChecker::versionForChannel(
    const UpdateVersions& versions, int channel)
{
    static const char* const names[] = {"stable", "beta", "alpha"};
    if (channel < 0 || channel > 2)
        return QPair<QString, QString>();
    return versions.value(QString::fromLatin1(names[channel]));
}

void UpdateChecker::on_updateCheckAvailable(QByteArray updateData)
{
    UpdateVersions table;
    VersionsInfo info;
    if (parseVersionsReply(updateData.constData(), updateData.size(), &info) == VERSIONS_REPLY_OK) {
        for (const std::string& name : info.channelNames) {
            const QString key = QString::fromStdString(name);
            if (table.contains(key))
                continue;
            const ChannelVersion& version = info.channels.at(name);
            // The server's signed field is shown as its unsigned 32-bit value,
            // so a negative number becomes text the configuration rejects.
            table.insert(key,
                qMakePair(QString::number(static_cast<quint32>(version.version_number)),
                    QString::fromStdString(version.version_string)));
        }
    }
    emit update_available(table);
    deleteLater();
}
