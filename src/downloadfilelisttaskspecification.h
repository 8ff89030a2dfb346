#ifndef DOWNLOADFILELISTTASKSPECIFICATION_H
#define DOWNLOADFILELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "downloadentry.h"

class Configuration;
class QNetworkAccessManager;

// Fetches every file of the run's download list into the update's temporary
// directory, up to the configured number of streams at once, in list order.
// Every file weighs the same in the progress; the poll reports the listed
// sizes' sum as the total from the start.
class DownloadFileListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    DownloadFileListTaskSpecification(const QList<DownloadEntry>* list,
        QNetworkAccessManager* manager, Configuration* config, QObject* parent, qreal weight);

    qint64 totalBytes() const { return m_TotalBytes; }

public slots:
    void execute() override;
    void reset() override;
    void getDownloadProgress(
        quint64* done, quint64* total, quint64* speed, bool* downloading) override;

protected:
    bool createTargetDirs();

private:
    const QList<DownloadEntry>* m_List;
    QNetworkAccessManager* m_Manager;
    Configuration* m_Config;
    qint64 m_TotalBytes;
};

#endif
