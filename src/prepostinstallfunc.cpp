#include "prepostinstallfunc.h"

#include "configuration.h"

#include <QAtomicInt>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace {

QAtomicInt waitSlice(30000);

// A command fetched for this release is written like every download, with
// the umask's mode and no execute bit, so it could never start. It lies in
// the update's private temporary directory and has passed its hash check;
// its owner may run it.
void makeExecutableForOwner(const QString& program)
{
    const QFileInfo info(program);
    if (!info.isFile() || info.isSymLink())
        return;
    const QFileDevice::Permissions permissions = info.permissions();
    if (!(permissions & QFileDevice::ExeOwner))
        QFile::setPermissions(program, permissions | QFileDevice::ExeOwner);
}

} // namespace

PrePostInstallFunc::PrePostInstallFunc(const PrePostInstallCommand* command, Configuration* config)
    : m_Command(*command)
    , m_TempDir(config->m_TempDir)
{
}

int PrePostInstallFunc::waitSliceMs()
{
    return waitSlice.loadAcquire();
}

void PrePostInstallFunc::setWaitSliceMs(int ms)
{
    waitSlice.storeRelease(ms);
}

bool PrePostInstallFunc::run()
{
    QStringList args;
    for (const QString& arg : m_Command.args)
        args << QStringLiteral("--") + arg;
    qDebug() << "Starting" << m_Command.command << "args" << args << "temp dir:" << m_TempDir;
    emit message(QStringLiteral("Starting %1").arg(m_Command.command));

    const QString program = m_TempDir + QDir::separator() + m_Command.command;
    makeExecutableForOwner(program);
    QProcess process;
    // Nobody reads what the command prints; collecting it would let a
    // talkative command grow the updater's memory without bound.
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(program, args, QIODevice::ReadOnly);
    if (process.state() == QProcess::NotRunning) {
        qDebug() << "Failed to start process, state =" << process.state()
                 << ", error =" << process.errorString();
        emit message(
            QStringLiteral("Failed to start %1: %2").arg(m_Command.command, process.errorString()));
        return false;
    }
    process.waitForStarted(kStartWaitMs);
    if (process.state() != QProcess::Running) {
        qDebug() << "Failed to run process, state" << process.state();
        // A program that is missing or cannot be executed is only known as
        // such once the start has been tried; its reason helps the user.
        if (process.error() == QProcess::FailedToStart)
            emit message(QStringLiteral("Failed to start %1: %2")
                             .arg(m_Command.command, process.errorString()));
        else
            emit message(QStringLiteral("Failed to run %1").arg(m_Command.command));
        return false;
    }
    // No overall limit: an installer may rightly take long.
    while (process.state() != QProcess::NotRunning)
        process.waitForFinished(waitSliceMs());

    const int exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    qDebug() << "Process exit code:" << exitCode;
    switch (exitCode) {
    case 0:
        emit message(QStringLiteral("%1 completed sucessfully").arg(m_Command.command));
        return true;
    case kRebootExitCode:
    case kRebootExitCode8Bit:
        emit message(
            QStringLiteral("%1 completed sucessfully, reboot required").arg(m_Command.command));
        emit reboot_with_confirmation();
        return true;
    case 1:
        emit message(
            QStringLiteral("Failed to complete %1, exit code: %2").arg(m_Command.command).arg(1));
        return false;
    default:
        return false;
    }
}
