#ifndef SINGLEINSTANCECHECKER_H
#define SINGLEINSTANCECHECKER_H

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

// Keeps one updater per installation and user: the running window listens
// on a local socket named after the executable's path and the home
// directory, and a new start hands it a message ("#": show your window)
// instead of running a second update.
class SingleInstanceChecker : public QObject
{
    Q_OBJECT
public:
    explicit SingleInstanceChecker(QObject* parent);
    ~SingleInstanceChecker() override;

    // "KV3ClientUpdate" and a checksum of this executable's path and the
    // home directory.
    static QString serverName();
    // The same for a given executable and home directory.
    static QString serverName(const QString& executablePath, const QString& homeDir);

    // True when a running instance of the same user accepted message.
    static bool send(const QString& message);

signals:
    void otherInstanceActivate(QString message);

private slots:
    void onNewConnection();
    void onReadyRead();

private:
    QLocalServer* m_server;
    QLocalSocket* m_socket;
};

#endif
