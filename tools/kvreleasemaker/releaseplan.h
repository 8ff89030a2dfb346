// What goes into a release tree: every file of the new installation with
// the form it travels in, and the paths of the old one that must go.
#pragma once

#include "releaseoptions.h"

#include <QList>
#include <QString>

#include <functional>

struct PlannedFile
{
    QString path; // relative to the installation, "/"-separated
    ShipForm form = ShipForm::Lzma2;
    bool updater = false; // listed in the stage-one ini too
    qint64 size = 0;
    QString hash; // SHA-512 of the new file
    bool hasOld = false; // the old installation has a file at path
    qint64 oldSize = 0;
    QString oldHash;
    bool wantsPatch = false; // changed, packed, and patches wanted

    bool changed() const { return !hasOld || oldHash != hash; }
};

struct PlannedDelete
{
    QString path;
    bool isDir = false;
};

class ReleasePlan
{
public:
    // Scans both installations and decides every file's form. False with
    // *error in plain words when the input cannot make a release the
    // updater installs correctly; *warnings gets what is odd but harmless.
    // progress, when given, receives a line now and then while the files
    // are hashed.
    bool build(const ReleaseOptions& options, QString* error, QStringList* warnings,
        const std::function<void(const QString&)>& progress = {});

    const QList<PlannedFile>& files() const { return m_Files; }
    const QList<PlannedDelete>& deletes() const { return m_Deletes; }

    // The name a file's shipped form has on the server and in the update's
    // temporary directory.
    static QString shippedKey(const PlannedFile& file);
    static QString patchKey(const PlannedFile& file);

private:
    bool checkTemporaryNames(QString* error) const;

    QList<PlannedFile> m_Files;
    QList<PlannedDelete> m_Deletes;
};
