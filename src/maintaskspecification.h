#ifndef MAINTASKSPECIFICATION_H
#define MAINTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "downloadreplacelists.h"

class Configuration;
class QNetworkAccessManager;

// The root of one update run. Runs the phases strictly one after another:
// product ini, work lists, downloads, pre-install commands, then stage two's
// replacement and deletion or stage one's self-update, and the post-install
// commands. Owns the five work lists that the compiler fills and the later
// phases read; the first phase that fails or is canceled ends the run.
class MainTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    MainTaskSpecification(
        QNetworkAccessManager* manager, Configuration* config, QObject* parent, qreal weight);
    ~MainTaskSpecification() override;

    const DownloadReplaceLists& lists() const { return m_Lists; }

public slots:
    void execute() override;
    void reset() override;

private:
    QNetworkAccessManager* m_Manager;
    Configuration* m_Config;
    DownloadReplaceLists m_Lists;
};

#endif
