#ifndef PREPOSTINSTALLTASKSPECIFICATION_H
#define PREPOSTINSTALLTASKSPECIFICATION_H

#include "asynctaskspecification.h"

#include <QPointer>

class Configuration;
struct PrePostInstallCommand;

// Runs one install command on the thread pool and waits for its end.
//
// A command may ask for a reboot. The request goes, through a queued
// connection, to the slot onRebootWithConfirmation() of the object set with
// setRebootReceiver (the main window sets itself); without one the request
// has no effect. The core library thus knows nothing of the window.
class PrePostInstallTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    PrePostInstallTaskSpecification(
        const PrePostInstallCommand* command, Configuration* config, QObject* parent, qreal weight);

    // The receiver must have a slot "onRebootWithConfirmation()"; it is held
    // weakly, so a destroyed receiver simply gets nothing.
    static void setRebootReceiver(QObject* receiver);
    static QObject* rebootReceiver();

public slots:
    ASyncFunc* createFunc() override;

private:
    const PrePostInstallCommand* m_Command;
    Configuration* m_Config;
};

#endif
