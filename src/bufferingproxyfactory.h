#ifndef BUFFERINGPROXYFACTORY_H
#define BUFFERINGPROXYFACTORY_H

#include <QList>
#include <QNetworkProxy>

// Where a connection goes directly, the network module reads its socket
// unbuffered, and reads one chunk of a chunked body for as long as the
// socket holds data of it: a server that announces a chunk of 4 GiB and
// sends faster than the module reads fills memory before the updater sees a
// byte of it, whatever read buffer the reply was given. A connection made for
// the default proxy entry gets a socket with a 64 KiB buffer instead, which
// ends every such read; that entry resolves to a direct connection wherever
// the application's settings connect directly. So this factory answers with
// it exactly there, and otherwise as the manager would have answered.
class BufferingProxyFactory : public QNetworkProxyFactory
{
public:
    // proxy is what the manager would use; the default proxy type stands
    // for the application's own choice.
    explicit BufferingProxyFactory(const QNetworkProxy& proxy);

    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override;

private:
    QNetworkProxy m_Proxy;
};

#endif
