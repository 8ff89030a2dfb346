#ifndef FILEREPLACELISTTASKSPECIFICATION_H
#define FILEREPLACELISTTASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "replaceentry.h"
#include "replacejournal.h"
#include "rollback.h"

class Configuration;

// Stage two's replacement phase: produces every listed installed file from
// what the downloads left in the update's temporary directory, two files at
// a time, after creating the missing directories. Every installed file that
// is written over is first kept aside beside itself, so that a failed or
// canceled phase puts the installation back exactly as it was; a journal in
// the installation directory lets the next run do the same after a crash.
class FileReplaceListTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileReplaceListTaskSpecification(
        const ReplaceList* list, Configuration* config, QObject* parent, qreal weight);

    // The phase's undo records (directories, and the records of every file
    // replaced so far).
    const RollbackDataList& records() const { return m_Records; }

public slots:
    void execute() override;
    void reset() override;
    void subtasksDone() override;

    // Same as execute() without the opening message.
    void makeSubtasksAndStart();

protected:
    int addDirCreateSubtasks();
    void addReplaceSubtasks(bool dirsCreated);

private:
    void undo();

    const ReplaceList* m_List;
    RollbackDataList m_Records;
    Configuration* m_Config;
    ReplaceJournal m_Journal;
};

// Stage one's file phase: builds the new updater in the update's temporary
// directory from the fetched packed and patch files (the compiler already
// copied the current files there), checks each restored file against its
// SHA-512 from the signed ini, then makes the new updater executable, writes
// the session file for stage two and copies the translations. Nothing is
// written into the installation.
class UpdateSelfUnzipTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    UpdateSelfUnzipTaskSpecification(
        const ReplaceList* list, Configuration* config, QObject* parent, qreal weight);

public slots:
    void execute() override;
    void reset() override;
    void subtasksDone() override;

    void makeSubtasksAndStart();

private:
    void copyTranslations();

    const ReplaceList* m_List;
    Configuration* m_Config;
};

#endif
