#ifndef PREPOSTINSTALLLISTTASKSPECIFICATION_H
#define PREPOSTINSTALLLISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "prepostinstallcommand.h"

class Configuration;

// Runs the release's pre- or post-install commands one after another; the
// first command that fails ends the phase failed.
class PrePostInstallListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    PrePostInstallListTaskSpecification(
        const PrePostInstallList* list, Configuration* config, QObject* parent, qreal weight);

public slots:
    void execute() override;
    void reset() override;

private:
    const PrePostInstallList* m_List;
    Configuration* m_Config;
};

#endif
