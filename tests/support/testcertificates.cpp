#include "testcertificates.h"

#include <QFile>
#include <QProcess>
#include <QSslConfiguration>
#include <QTemporaryDir>

namespace {

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

TestCertificates::TestCertificates(const QStringList& hostNames)
{
    QTemporaryDir dir;
    if (!dir.isValid()) {
        m_Error = QStringLiteral("no temporary directory");
        return;
    }
    const QString path = dir.path();
    QStringList names;
    for (const QString& host : hostNames)
        names << QStringLiteral("DNS:") + host;
    QFile extensions(path + QStringLiteral("/server.ext"));
    if (!extensions.open(QIODevice::WriteOnly)
        || extensions.write("basicConstraints=CA:FALSE\nextendedKeyUsage=serverAuth\n"
                            "subjectAltName="
               + names.join(QLatin1Char(',')).toLatin1() + "\n")
            < 0) {
        m_Error = QStringLiteral("cannot write the extensions");
        return;
    }
    extensions.close();
    const QStringList newKey {QStringLiteral("-newkey"), QStringLiteral("ec"),
        QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
        QStringLiteral("-nodes")};
    const QStringList signature {QStringLiteral("-days"), QStringLiteral("2"),
        QStringLiteral("-extfile"), QStringLiteral("server.ext"), QStringLiteral("-out")};
    if (!run(path,
            QStringList {QStringLiteral("req"), QStringLiteral("-x509")} + newKey
                + QStringList {QStringLiteral("-keyout"), QStringLiteral("ca.key"),
                    QStringLiteral("-out"), QStringLiteral("ca.pem"), QStringLiteral("-days"),
                    QStringLiteral("2"), QStringLiteral("-subj"),
                    QStringLiteral("/CN=Kelvarion test authority")})
        || !run(path,
            QStringList {QStringLiteral("req")} + newKey
                + QStringList {QStringLiteral("-keyout"), QStringLiteral("server.key"),
                    QStringLiteral("-out"), QStringLiteral("server.csr"), QStringLiteral("-subj"),
                    QStringLiteral("/CN=") + hostNames.value(0)})
        || !run(path,
            QStringList {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                QStringLiteral("server.csr"), QStringLiteral("-CA"), QStringLiteral("ca.pem"),
                QStringLiteral("-CAkey"), QStringLiteral("ca.key"),
                QStringLiteral("-CAcreateserial")}
                + signature + QStringList {QStringLiteral("signed.pem")})
        || !run(path,
            QStringList {QStringLiteral("x509"), QStringLiteral("-req"), QStringLiteral("-in"),
                QStringLiteral("server.csr"), QStringLiteral("-signkey"),
                QStringLiteral("server.key")}
                + signature + QStringList {QStringLiteral("selfsigned.pem")}))
        return;
    m_Ca = QSslCertificate(readAll(path + QStringLiteral("/ca.pem")));
    m_Signed = QSslCertificate(readAll(path + QStringLiteral("/signed.pem")));
    m_SelfSigned = QSslCertificate(readAll(path + QStringLiteral("/selfsigned.pem")));
    m_Key = QSslKey(readAll(path + QStringLiteral("/server.key")), QSsl::Ec);
    if (m_Ca.isNull() || m_Signed.isNull() || m_SelfSigned.isNull() || m_Key.isNull())
        m_Error = QStringLiteral("openssl wrote what TLS sockets cannot read");
}

bool TestCertificates::run(const QString& directory, const QStringList& arguments)
{
    QProcess openssl;
    openssl.setWorkingDirectory(directory);
    openssl.setProcessChannelMode(QProcess::MergedChannels);
    openssl.start(QStringLiteral("openssl"), arguments);
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit
        || openssl.exitCode() != 0) {
        m_Error = QStringLiteral("openssl ") + arguments.join(QLatin1Char(' '))
            + QStringLiteral(": ") + QString::fromLocal8Bit(openssl.readAll())
            + openssl.errorString();
        return false;
    }
    return true;
}

void TestCertificates::trustOnlyTestCa() const
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates({m_Ca});
    QSslConfiguration::setDefaultConfiguration(configuration);
}
