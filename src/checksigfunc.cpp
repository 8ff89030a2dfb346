#include "checksigfunc.h"

#include "cryptwrapper.h"
#include "filedigest.h"
#include "productinipublickey.h"
#include "rsakeyrelease.h"

#include <QDebug>
#include <QFile>

#include <limits>

CheckSigFunc::CheckSigFunc(const QString& file, const QString& hash)
    : m_File(file)
    , m_Hash(hash)
{
}

bool CheckSigFunc::run()
{
    return m_Hash.isEmpty() ? checkRSA() : checkHash();
}

bool CheckSigFunc::checkHash()
{
    QString digest;
    switch (sha512HexOfFile(m_File, &digest)) {
    case DigestStatus::CannotOpen:
        emit message(QStringLiteral("Could not open file %1 for reading").arg(m_File));
        return false;
    case DigestStatus::ReadError:
        reportUnreadable(m_File);
        return false;
    case DigestStatus::Ok:
        break;
    }
    return digestMatches(digest, m_Hash);
}

bool CheckSigFunc::checkRSA()
{
    QByteArray data;
    if (!readFile(m_File, data)) {
        qDebug() << "RSA check failed, could not read" << m_File;
        return false;
    }
    const QString signaturePath = m_File + QStringLiteral(".sig");
    QByteArray signature;
    if (!readFile(signaturePath, signature)) {
        qDebug() << "RSA check failed, could not read" << signaturePath;
        return false;
    }
    try {
        rsa_key key;
        rsaImportKey(&key, productIniPublicKey, cryptKeyFileSize);
        RsaKeyRelease release(&key);
        const bool valid = rsaVerify(&key, reinterpret_cast<const unsigned char*>(data.constData()),
            static_cast<unsigned long>(data.size()),
            reinterpret_cast<const unsigned char*>(signature.constData()),
            static_cast<unsigned long>(signature.size()));
        qDebug() << "RSA check" << valid;
        return valid;
    } catch (const crypt_exception& e) {
        qDebug() << "RSA check failed, caught exception" << e.what();
        return false;
    }
}

bool CheckSigFunc::readFile(const QString& path, QByteArray& data)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        emit message(QStringLiteral("Could not open file %1 for reading").arg(path));
        return false;
    }
    // A byte array holds less than 2 GiB; a larger file counts as unreadable
    // rather than failing the allocation.
    const qint64 size = file.size();
    if (size > std::numeric_limits<int>::max() / 2) {
        reportUnreadable(path);
        return false;
    }
    data.resize(static_cast<int>(size));
    if (file.read(data.data(), size) != size) {
        reportUnreadable(path);
        return false;
    }
    return true;
}

void CheckSigFunc::reportUnreadable(const QString& path)
{
    emit message(QStringLiteral("could not read file %1 correctly").arg(path));
}
