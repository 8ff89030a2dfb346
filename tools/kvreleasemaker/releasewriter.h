// Writes the file-server tree of one release from a plan: the shipped forms
// of the files, patches, both stages' product inis, their packed forms and
// signatures.
#pragma once

#include "releaseoptions.h"
#include "releaseplan.h"

#include <QString>

#include <functional>

class ReleaseWriter
{
public:
    // Receives one line per step of the long work (thread-safe calls).
    using Progress = std::function<void(const QString& line)>;

    explicit ReleaseWriter(Progress progress);

    // Builds the tree in a directory beside OUT/VERSION and renames it into
    // place only when everything is written and signed; on failure nothing
    // is left behind and an existing tree is never touched.
    bool write(const ReleaseOptions& options, const ReleasePlan& plan, QString* error);

    // OUT/VERSION, once written.
    QString versionDir() const { return m_VersionDir; }

    // What a file became on the server.
    struct Shipped
    {
        QString key;
        QString hash;
        quint64 size = 0;
        QString patchKey; // empty: no patch listed
        QString patchHash;
        quint64 patchSize = 0;
    };

private:
    bool shipAll(const ReleaseOptions& options, const ReleasePlan& plan, const QString& sectionDir,
        QList<Shipped>* shipped, QString* error);
    bool shipFile(const ReleaseOptions& options, const PlannedFile& file, const QString& sectionDir,
        Shipped* shipped, QString* error) const;
    bool writeIni(const ReleaseOptions& options, const ReleasePlan& plan,
        const QList<Shipped>& shipped, int clientUpdate, const QString& path, QString* error) const;
    bool packAndSign(const QString& iniPath, QString* error) const;

    Progress m_Progress;
    QString m_VersionDir;
    QString m_KeyPath;
};
