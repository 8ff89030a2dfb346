#ifndef TESTHTTPBLASTER_H
#define TESTHTTPBLASTER_H

#include <QByteArray>
#include <QString>

#include <atomic>
#include <thread>

// Answers every request on 127.0.0.1 and a free port from a thread of its
// own: a fixed reply head, then one block of zeros over and over with
// blocking writes, as fast as the socket takes them, until the peer goes.
// A sender faster than any reader, for bounds that must hold however fast
// the bytes come; TestHttpServer sends from the test's own event loop.
class TestHttpBlaster
{
public:
    explicit TestHttpBlaster(const QByteArray& head);
    ~TestHttpBlaster();

    bool listen();
    // "http://127.0.0.1:<port>" followed by path.
    QString url(const QString& path) const;
    // Connections accepted so far.
    int connections() const { return m_Connections; }

private:
    void run();
    void answer(int socket);

    QByteArray m_Head;
    int m_Listener = -1;
    quint16 m_Port = 0;
    std::thread m_Thread;
    std::atomic<bool> m_Stop {false};
    std::atomic<int> m_Connections {0};
};

#endif
