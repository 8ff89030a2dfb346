#ifndef SHELLTESTFILES_H
#define SHELLTESTFILES_H

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QtTest>

// Whole-file reads and writes of the shell's tests.
inline QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline void writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(data), qint64(data.size()));
}

#endif
