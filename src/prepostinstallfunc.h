#ifndef PREPOSTINSTALLFUNC_H
#define PREPOSTINSTALLFUNC_H

#include "asyncfunc.h"
#include "prepostinstallcommand.h"

#include <QString>

class Configuration;

// Worker of an install command: starts the program from the update's
// temporary directory with "--" before every argument and waits for its end
// without an overall limit. Exit status 0 is success, the reboot status is
// success plus a reboot request, anything else (a crash too) a failure.
class PrePostInstallFunc : public ASyncFunc
{
    Q_OBJECT
public:
    PrePostInstallFunc(const PrePostInstallCommand* command, Configuration* config);

    bool run() override;

    // The status a command exits with to ask for a reboot. An exit status
    // on Linux has 8 bits, so it arrives there as 1010 & 0xff = 242.
    static constexpr int kRebootExitCode = 1010;
    static constexpr int kRebootExitCode8Bit = kRebootExitCode & 0xff;
    // Waits for the start and, in slices, for the end (milliseconds).
    static constexpr int kStartWaitMs = 5000;
    static int waitSliceMs();
    // For tests: a shorter slice shows the wait going on across slices.
    static void setWaitSliceMs(int ms);

signals:
    void reboot_with_confirmation();

private:
    // Copies: the worker must not read the task's list while it runs.
    PrePostInstallCommand m_Command;
    QString m_TempDir;
};

#endif
