#ifndef TESTCERTIFICATES_H
#define TESTCERTIFICATES_H

#include <QSslCertificate>
#include <QSslKey>
#include <QString>
#include <QStringList>

// Certificates made for one test with the openssl command: a certificate
// authority of the test's own, a server certificate it signed for the host
// names given, and a certificate for the same names and key that no one
// signed but itself. trustOnlyTestCa() makes the authority the only one that
// new TLS sockets of the process trust.
class TestCertificates
{
public:
    explicit TestCertificates(const QStringList& hostNames);

    // Empty when every certificate was made; else what went wrong.
    const QString& error() const { return m_Error; }

    const QSslCertificate& signedByTestCa() const { return m_Signed; }
    const QSslCertificate& selfSigned() const { return m_SelfSigned; }
    const QSslKey& key() const { return m_Key; }

    void trustOnlyTestCa() const;

private:
    bool run(const QString& directory, const QStringList& arguments);

    QSslCertificate m_Ca;
    QSslCertificate m_Signed;
    QSslCertificate m_SelfSigned;
    QSslKey m_Key;
    QString m_Error;
};

#endif
