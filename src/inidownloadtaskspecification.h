#ifndef INIDOWNLOADTASKSPECIFICATION_H
#define INIDOWNLOADTASKSPECIFICATION_H

#include "composedtaskspecification.h"

#include <cstdint>

class CheckSignatureTaskSpecification;
class Configuration;
class QNetworkAccessManager;

// Makes sure the product ini of this stage lies unpacked in the update's
// temporary directory and carries a valid signature: fetches the packed ini
// and its signature file when they are not there yet, unpacks the ini, and
// checks it in failing mode. Nothing of the release is trusted before that.
class IniDownloadTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    IniDownloadTaskSpecification(
        QNetworkAccessManager* manager, Configuration* config, QObject* parent, qreal weight);

    // "kv3_" (stage two only), the default client type, ".ini".
    static QString iniName(int clientUpdate);
    static QString packedName(int clientUpdate);
    static QString signatureName(int clientUpdate);

    // The ini is unpacked before its signature can be checked, so its
    // container is still only the server's word, and a few KiB of it can
    // announce gigabytes. Real inis take a few KiB; this leaves ample room.
    static constexpr uint32_t kRestoredIniLimit = 32u * 1024 * 1024;

public slots:
    void execute() override;
    void reset() override;

private slots:
    void onSigCheckDone(bool pass, CheckSignatureTaskSpecification* check);
    void onUnpackEnded(TaskSpecification* unpack);

private:
    void makeSubtasksAndStart();
    void removeRejectedFiles();

    QNetworkAccessManager* m_Manager;
    Configuration* m_Config;
};

#endif
