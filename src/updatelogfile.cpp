#include "updatelogfile.h"

#include "safetempfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QTextCodec>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

const QString logTimestampFormat = QStringLiteral("yyyy-MM-dd hh:mm:ss:zzz");

bool UpdateLogFile::s_enabled = false;
UpdateLogFile* UpdateLogFile::instance = nullptr;

namespace {

const char* const kMarkerName = "kv3_update_log";
const char* const kLogDirName = "kelvarion_update_log";

} // namespace

UpdateLogFile* UpdateLogFile::getInstance()
{
    if (instance == nullptr) {
        instance = new UpdateLogFile;
        instance->open();
    }
    return instance;
}

UpdateLogFile::UpdateLogFile()
    : m_file(nullptr)
{
    // Read once per process: removing the marker during a run does not stop
    // that run's logging.
    s_enabled = QFileInfo::exists(QDir::tempPath() + QLatin1Char('/') + QLatin1String(kMarkerName));
}

QString UpdateLogFile::fileNameFor(const QDateTime& start)
{
    QString stamp = start.toString(Qt::ISODate);
    stamp.replace(QLatin1Char(':'), QLatin1Char('_'));
    stamp.replace(QLatin1Char('T'), QLatin1String("__"));
    return QLatin1String("update__") + stamp + QLatin1String(".log");
}

QString UpdateLogFile::logDirectory(const QString& tempPath)
{
    return QDir::toNativeSeparators(
        tempPath + QLatin1Char('/') + QLatin1String(kLogDirName) + QLatin1Char('/'));
}

QFile* UpdateLogFile::openLogFile(const QString& dir, const QString& name)
{
    // Anyone can create the directory, or links inside it, before the first
    // run; only a directory of the running user that nobody else can write
    // to is used. A refusal is not reported: without the file there is no
    // place for the line, and nothing goes to the terminal.
    const int dirFd = SafeTempFile::openPrivateDirectory(dir);
    if (dirFd < 0)
        return nullptr;
    const int fd = SafeTempFile::openForWriting(dirFd, name);
    ::close(dirFd);
    if (fd < 0)
        return nullptr;
    QFile* file = new QFile;
    if (!file->open(fd, QIODevice::WriteOnly | QIODevice::Text, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        delete file;
        return nullptr;
    }
    return file;
}

void UpdateLogFile::open()
{
    if (!s_enabled)
        return;
    const QString dir = logDirectory(QDir::tempPath());
    const QString name = fileNameFor(QDateTime::currentDateTime());
    m_file = openLogFile(dir, name);
    if (m_file == nullptr)
        return;
    m_path = dir + name;
    // The stream writes the messages in the system's 8-bit encoding.
    m_stream.setCodec(QTextCodec::codecForLocale());
    m_stream.setDevice(m_file);
}

QString UpdateLogFile::fileName() const
{
    return m_path;
}

void UpdateLogFile::writeLine(const char* tag, const QString& message)
{
    const QString stamp = QDateTime::currentDateTime().toString(logTimestampFormat);
    // The stream is shared by every thread that logs; one line at a time
    // keeps lines whole and in one piece.
    QMutexLocker lock(&m_mutex);
    if (m_file == nullptr)
        return;
    m_stream << stamp << tag << message << '\n';
    m_stream.flush();
}

void UpdateLogFile::close()
{
    QMutexLocker lock(&m_mutex);
    if (m_file == nullptr)
        return;
    m_stream.flush();
    m_file->close();
}

void updateMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& msg)
{
    Q_UNUSED(context);
    if (!UpdateLogFile::s_enabled)
        return;
    const char* tag = nullptr;
    switch (type) {
    case QtDebugMsg:
        tag = "\t|\tDebug\t|\t";
        break;
    case QtWarningMsg:
        tag = "\t|\tWarning\t|\t";
        break;
    case QtCriticalMsg:
        tag = "\t|\tCritical\t|\t";
        break;
    case QtFatalMsg:
        tag = "\t|\tFatal\t|\t";
        break;
    case QtInfoMsg:
        tag = "\t|\tInfo\t|\t";
        break;
    }
    if (tag == nullptr)
        return;
    UpdateLogFile::getInstance()->writeLine(tag, msg);
    if (type == QtFatalMsg)
        std::abort();
}
