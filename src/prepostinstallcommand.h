#ifndef PREPOSTINSTALLCOMMAND_H
#define PREPOSTINSTALLCOMMAND_H

#include <QList>
#include <QString>
#include <QStringList>

// One command to run before or after installation: a program in the
// update's temporary directory and its arguments (without the "--" prefix
// that the command task adds).
struct PrePostInstallCommand
{
    PrePostInstallCommand() = default;
    PrePostInstallCommand(const QString& command, const QStringList& args)
        : command(command)
        , args(args)
    {
    }

    QString command;
    QStringList args;
};

typedef QList<PrePostInstallCommand> PrePostInstallList;

#endif
