// Command line of the release maker.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// How a file travels to the file server.
enum class ShipForm
{
    Plain, // a copy, installed as it is
    Gzip, // a gzip file, unpacked into place
    Lzma2 // the patch engine's compressed-file container
};

struct FormRule
{
    QString pattern; // wildcard over the path relative to the installation
    ShipForm form = ShipForm::Lzma2;
};

struct InstallCommandOption
{
    QString command; // path of the program in the new release
    QStringList args; // without the "--" the updater puts before each
};

struct ReleaseOptions
{
    QString oldDir; // empty: a first release, no patches and no deletions
    QString newDir;
    QString outDir;
    QString keyPath;
    int version = -1;
    QString section = QStringLiteral("client");
    // Paths (wildcards) of the updater's own files: the stage-one ini lists
    // these; the stage-two ini lists every file.
    QStringList updaterPatterns;
    QList<FormRule> formRules; // first match wins
    ShipForm defaultForm = ShipForm::Lzma2;
    bool patches = true;
    bool executableAware = true; // containers store executables as encoded programs
    int jobs = 1;
    QList<InstallCommandOption> preInstall;
    QList<InstallCommandOption> postInstall;
};

// Fills *options from the arguments (the program name first). On bad input
// returns false with *error saying what is wrong in plain words; "--help"
// returns false with an empty error and the usage in *error's place is up to
// the caller (see releaseUsage()).
bool parseReleaseOptions(const QStringList& arguments, ReleaseOptions* options, QString* error);
QString releaseUsage();
QString shipFormName(ShipForm form);
