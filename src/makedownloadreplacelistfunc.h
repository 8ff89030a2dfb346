#ifndef MAKEDOWNLOADREPLACELISTFUNC_H
#define MAKEDOWNLOADREPLACELISTFUNC_H

#include "asyncfunc.h"
#include "filehashcache.h"
#include "patchentry.h"

#include <QHash>
#include <QString>

class Configuration;
class DownloadReplaceLists;
class QSettings;
struct DownloadEntry;
struct ReplaceEntry;

// The compile of the product ini, on a pool thread. For each file line it
// decides from the installed file's SHA-512 whether the file is current, can
// be patched from the installed file, or must be fetched whole, and skips
// fetching what an earlier run already left in the temporary directory. In
// stage one it copies every current file into the temporary directory, so
// that the new updater there is complete.
class MakeDownloadReplaceListFunc : public ASyncFunc
{
    Q_OBJECT
public:
    MakeDownloadReplaceListFunc(Configuration* config, DownloadReplaceLists* lists);

    bool run() override;

private:
    bool readPatchLines(
        QSettings& ini, const QString& section, const QStringList& patchKeys, PatchTable* patches);
    void compileDeleteSection(QSettings& ini, const QStringList& keys);
    void compileCommandSection(QSettings& ini, const QString& section, const QStringList& keys);
    void compileFileSection(
        QSettings& ini, const QString& section, const QStringList& keys, const PatchTable& patches);
    void compileFileLine(
        const DownloadEntry& line, const ReplaceEntry& lineTarget, const PatchTable& patches);
    bool listReplace(const ReplaceEntry& replace);
    void copyCurrentFile(const QString& installed, const ReplaceEntry& replace);
    bool checkFileLines(QSettings& ini);
    void countDone();
    void warnInvalidLine(const QString& section);

    Configuration* m_Config;
    DownloadReplaceLists* m_Lists;
    bool m_StageTwo = false;
    int m_Total = 0;
    int m_Done = 0;
    FileHashCache m_Hashes;
    // Index in the replace list by installed path, cleaned of "." and
    // repeated "/".
    QHash<QString, int> m_Listed;
};

#endif
