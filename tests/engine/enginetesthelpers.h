#ifndef ENGINETESTHELPERS_H
#define ENGINETESTHELPERS_H

#include "configuration.h"
#include "testinifiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <memory>

inline bool writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// A private system temporary directory (TMPDIR) for one test: the update's
// temporary directories, the banner cache and the session's checks all go
// there, and nothing of the real one is touched.
class PrivateSystemTemp
{
public:
    PrivateSystemTemp()
        : m_Dir(std::make_unique<QTemporaryDir>())
        , m_Old(qgetenv("TMPDIR"))
    {
        qputenv("TMPDIR", QFile::encodeName(m_Dir->path()));
    }
    ~PrivateSystemTemp()
    {
        qputenv("TMPDIR", m_Old);
        m_Dir.reset();
    }
    bool isValid() const { return m_Dir->isValid(); }
    QString path() const { return m_Dir->path(); }

private:
    std::unique_ptr<QTemporaryDir> m_Dir;
    QByteArray m_Old;
};

#endif
