#ifndef CHECKSIGFUNC_H
#define CHECKSIGFUNC_H

#include "asyncfunc.h"

#include <QByteArray>
#include <QString>

// Worker of the file check: with an expected hash it compares the file's
// SHA-512 with it; with an empty hash it verifies the file against the
// signature file beside it (the file's name followed by ".sig") with the
// built-in release-signing key.
class CheckSigFunc : public ASyncFunc
{
    Q_OBJECT
public:
    CheckSigFunc(const QString& file, const QString& hash);

    bool run() override;

    bool checkHash();
    bool checkRSA();
    bool readFile(const QString& path, QByteArray& data);

private:
    void reportUnreadable(const QString& path);

    QString m_File;
    QString m_Hash;
};

#endif
