#ifndef PRODUCTINI_H
#define PRODUCTINI_H

#include <QString>
#include <QStringList>

class QSettings;

// Reading the product ini: the file that lists a release's files, patches,
// deletions and install commands for one stage of the update.

// Sections with a meaning of their own; every other section holds file lines
// and names the files' directory on the file server.
extern const QString productIniDeleteSection;
extern const QString productIniPreInstallSection;
extern const QString productIniPostInstallSection;

// Operating-system numbers of install-command lines.
enum ProductIniOs
{
    OS_UNKNOWN = 0,
    OS_WIN32 = 1,
    OS_WIN64 = 2,
    OS_LINUX32 = 3,
    OS_LINUX64 = 4,
    OS_MAC = 5
};

// "kv3_" (stage two only), the stage's default client type, ".ini".
QString productIniFileName(int clientUpdate);

// Keys over all sections, patch and install-command keys included.
int countIniKeys(QSettings& ini);
// Token of an install-command line to its number, without regard to case.
int osFromName(const QString& name);
// The system this updater runs on.
int currentOs();

// A key ending in "_patch_" is a patch line in every section.
bool isPatchKey(const QString& key);
// Fields of file and patch lines, separated by "::"; empty fields count.
QStringList splitFields(const QString& value);

// True when a path from the ini, joined to the installation or the update's
// temporary directory, names an entry below that directory: not absolute,
// no ".." component, and not the directory itself. Lines with any other path
// are refused, signed or not, so that nothing outside those two directories
// is written, copied, deleted or run.
bool staysInside(const QString& relativePath);

#endif
