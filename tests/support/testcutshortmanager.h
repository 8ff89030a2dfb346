#ifndef TESTCUTSHORTMANAGER_H
#define TESTCUTSHORTMANAGER_H

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>

// A reply that ends the way the network module now and then ends one whose
// server closed the connection short of the length it announced: status 200,
// the announced Content-Length, fewer bytes than that, and no error. On a
// real connection that happens by chance; here it happens every time.
class TestCutShortReply : public QNetworkReply
{
    Q_OBJECT
public:
    TestCutShortReply(
        const QNetworkRequest& request, const QByteArray& body, qint64 announced, QObject* parent);

    void abort() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char* data, qint64 maxSize) override;

private:
    void deliver();

    QByteArray m_Body;
    qint64 m_Offset = 0;
    qint64 m_Announced;
};

// Answers every GET with a TestCutShortReply that announces the whole body:
// for the first cutReplies requests only its first sentBytes, then all of it.
class TestCutShortManager : public QNetworkAccessManager
{
    Q_OBJECT
public:
    TestCutShortManager(
        const QByteArray& body, qint64 sentBytes, int cutReplies, QObject* parent = nullptr);

    int requests() const { return m_Requests; }

protected:
    QNetworkReply* createRequest(
        Operation op, const QNetworkRequest& request, QIODevice* outgoingData) override;

private:
    QByteArray m_Body;
    qint64 m_SentBytes;
    int m_CutReplies;
    int m_Requests = 0;
};

#endif
