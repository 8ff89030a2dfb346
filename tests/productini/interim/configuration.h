#ifndef CONFIGURATION_H
#define CONFIGURATION_H

// Interim stand-in, used only while the run's configuration class is not on
// this branch yet: the fields and the helper that the compiler reads.
#include <QString>

class Configuration
{
public:
    static QString defaultClientType(int clientUpdate)
    {
        return QString(clientUpdate != 0 ? "client" : "update") + "_linux_x86";
    }

    int m_ClientUpdate = 0;
    QString m_TempDir;
    QString m_InstallDir;
};

#endif
