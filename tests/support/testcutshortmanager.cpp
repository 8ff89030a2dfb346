#include "testcutshortmanager.h"

#include <QTimer>

#include <algorithm>
#include <cstring>

TestCutShortReply::TestCutShortReply(
    const QNetworkRequest& request, const QByteArray& body, qint64 announced, QObject* parent)
    : QNetworkReply(parent)
    , m_Body(body)
    , m_Announced(announced)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::GetOperation);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    // Like a real reply, nothing happens before the caller has connected.
    QTimer::singleShot(0, this, &TestCutShortReply::deliver);
}

void TestCutShortReply::deliver()
{
    if (isFinished())
        return;
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, 200);
    setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, QByteArray("OK"));
    setHeader(QNetworkRequest::ContentLengthHeader, m_Announced);
    emit metaDataChanged();
    emit downloadProgress(m_Body.size(), m_Announced);
    emit readyRead();
    setFinished(true);
    emit finished();
}

void TestCutShortReply::abort()
{
    if (isFinished())
        return;
    setError(OperationCanceledError, QStringLiteral("Operation canceled"));
    setFinished(true);
    emit errorOccurred(OperationCanceledError);
    emit finished();
}

qint64 TestCutShortReply::bytesAvailable() const
{
    return m_Body.size() - m_Offset + QNetworkReply::bytesAvailable();
}

qint64 TestCutShortReply::readData(char* data, qint64 maxSize)
{
    const qint64 count = std::min(maxSize, qint64(m_Body.size()) - m_Offset);
    if (count <= 0)
        return isFinished() ? -1 : 0;
    std::memcpy(data, m_Body.constData() + m_Offset, size_t(count));
    m_Offset += count;
    return count;
}

TestCutShortManager::TestCutShortManager(
    const QByteArray& body, qint64 sentBytes, int cutReplies, QObject* parent)
    : QNetworkAccessManager(parent)
    , m_Body(body)
    , m_SentBytes(sentBytes)
    , m_CutReplies(cutReplies)
{
}

QNetworkReply* TestCutShortManager::createRequest(
    Operation, const QNetworkRequest& request, QIODevice*)
{
    const bool cut = m_Requests++ < m_CutReplies;
    return new TestCutShortReply(
        request, cut ? m_Body.left(int(m_SentBytes)) : m_Body, m_Body.size(), this);
}
