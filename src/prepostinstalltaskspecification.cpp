#include "prepostinstalltaskspecification.h"

#include "prepostinstallfunc.h"

namespace {

// Set by the window, read on the GUI thread when a command starts.
QPointer<QObject>& rebootReceiverPointer()
{
    static QPointer<QObject> receiver;
    return receiver;
}

} // namespace

PrePostInstallTaskSpecification::PrePostInstallTaskSpecification(
    const PrePostInstallCommand* command, Configuration* config, QObject* parent, qreal weight)
    : ASyncTaskSpecification(parent, weight)
    , m_Command(command)
    , m_Config(config)
{
}

void PrePostInstallTaskSpecification::setRebootReceiver(QObject* receiver)
{
    rebootReceiverPointer() = receiver;
}

QObject* PrePostInstallTaskSpecification::rebootReceiver()
{
    return rebootReceiverPointer().data();
}

ASyncFunc* PrePostInstallTaskSpecification::createFunc()
{
    auto* func = new PrePostInstallFunc(m_Command, m_Config);
    if (QObject* receiver = rebootReceiver()) {
        // Queued: the worker emits on a pool thread, the receiver lives on
        // the GUI thread. By name, so the core needs no window header.
        QObject::connect(func, SIGNAL(reboot_with_confirmation()), receiver,
            SLOT(onRebootWithConfirmation()), Qt::QueuedConnection);
    }
    return func;
}
