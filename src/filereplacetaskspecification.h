#ifndef FILEREPLACETASKSPECIFICATION_H
#define FILEREPLACETASKSPECIFICATION_H

#include "composedtaskspecification.h"
#include "replaceentry.h"
#include "rollback.h"

class Configuration;
class ReplaceJournal;

// Produces one installed file: keeps the installed file aside (when there is
// one), then copies, unpacks or patches the new one into place and, for the
// last two, checks its SHA-512. On success the file gets the permission bits
// of the file it replaced and the phase takes over its undo records; on
// failure its own records are undone at once, which puts the kept file back.
class FileReplaceTaskSpecification : public ComposedTaskSpecification
{
    Q_OBJECT
public:
    FileReplaceTaskSpecification(const ReplaceEntry& entry, RollbackDataList* listRecords,
        Configuration* config, QObject* parent, qreal weight, ReplaceJournal* journal = nullptr);

    const ReplaceEntry& entry() const { return m_Entry; }
    const RollbackDataList& records() const { return m_Records; }

    // Executables and shared libraries by name get mode 0755.
    static void setExecPermissions(const QString& path);
    static bool isExecFileName(const QString& fileName);
    // A fetched file whose name ends in "._lzma2_" is a container; any
    // other packed file is read as gzip.
    static bool isContainerName(const QString& path);
    // Removes an earlier copy at old, the base a patch is applied to, and
    // creates old's directory, so that the base can be copied there.
    static void clearPatchBase(const QString& old);

public slots:
    void execute() override;
    void reset() override;
    void subtasksDone() override;

    void makeSubtasksAndStart();

private:
    // Undoes this file's records at once; those that fail go to the phase.
    void handOver();

    ReplaceEntry m_Entry;
    RollbackDataList* m_ListRecords;
    RollbackDataList m_Records;
    Configuration* m_Config;
    ReplaceJournal* m_Journal;
    // Permission bits of the file kept aside, or -1 when none was there.
    int m_KeptMode;
};

#endif
