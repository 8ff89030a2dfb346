#ifndef CHECKSIGNATURETASKSPECIFICATION_H
#define CHECKSIGNATURETASKSPECIFICATION_H

#include "asynctaskspecification.h"

#include <QString>

// Checks one file on the thread pool: against an expected SHA-512 hash, or,
// with an empty hash, against its signature file (see CheckSigFunc). With
// failTaskOnMismatch false a failed check is only reported and the task
// still finishes.
class CheckSignatureTaskSpecification : public ASyncTaskSpecification
{
    Q_OBJECT
public:
    CheckSignatureTaskSpecification(const QString& file, const QString& hash,
        bool failTaskOnMismatch, QObject* parent, qreal weight);

    const QString& file() const { return m_File; }
    const QString& hash() const { return m_Hash; }

public slots:
    ASyncFunc* createFunc() override;
    // Emits checkDone before the state changes, so that a receiver connected
    // directly still sees this task running and may end its own parent first.
    void runDone(bool pass) override;

signals:
    void checkDone(bool pass, CheckSignatureTaskSpecification* task);

private:
    QString m_File;
    QString m_Hash;
    bool m_FailTaskOnMismatch;
};

#endif
