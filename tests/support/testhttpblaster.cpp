#include "testhttpblaster.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace {

constexpr int kBlockSize = 1024 * 1024;
// How often a waiting call looks whether the blaster is to stop.
constexpr int kStopCheckMs = 100;

} // namespace

TestHttpBlaster::TestHttpBlaster(const QByteArray& head)
    : m_Head(head)
{
}

TestHttpBlaster::~TestHttpBlaster()
{
    m_Stop = true;
    if (m_Thread.joinable())
        m_Thread.join();
    if (m_Listener >= 0)
        ::close(m_Listener);
}

bool TestHttpBlaster::listen()
{
    m_Listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_Listener < 0)
        return false;
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (::bind(m_Listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0
        || ::listen(m_Listener, 8) != 0
        || ::getsockname(m_Listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    m_Port = ntohs(address.sin_port);
    m_Thread = std::thread([this] { run(); });
    return true;
}

QString TestHttpBlaster::url(const QString& path) const
{
    return QStringLiteral("http://127.0.0.1:%1%2").arg(m_Port).arg(path);
}

void TestHttpBlaster::run()
{
    while (!m_Stop) {
        pollfd waiting {m_Listener, POLLIN, 0};
        if (::poll(&waiting, 1, kStopCheckMs) <= 0)
            continue;
        const int socket = ::accept4(m_Listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (socket < 0)
            continue;
        ++m_Connections;
        answer(socket);
        ::close(socket);
    }
}

void TestHttpBlaster::answer(int socket)
{
    const timeval timeout {0, kStopCheckMs * 1000};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
    ::setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
    QByteArray request;
    char buffer[4096];
    while (!m_Stop && !request.contains("\r\n\r\n")) {
        const ssize_t n = ::recv(socket, buffer, sizeof(buffer), 0);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return;
        if (n > 0)
            request.append(buffer, int(n));
    }
    if (::send(socket, m_Head.constData(), size_t(m_Head.size()), MSG_NOSIGNAL) != m_Head.size())
        return;
    const std::vector<char> block(kBlockSize, 0);
    while (!m_Stop) {
        const ssize_t n = ::send(socket, block.data(), block.size(), MSG_NOSIGNAL);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return;
    }
}
