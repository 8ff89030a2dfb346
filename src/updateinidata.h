#ifndef UPDATEINIDATA_H
#define UPDATEINIDATA_H

#include <QString>

// The session file: group "current" of the update.ini beside the running
// updater records an unfinished update (version, temporary directory,
// installation directory, client type) so that a later run of the same
// release can continue in that directory. No state: every call opens the
// file anew.
class UpdateIniData
{
public:
    // True only for a valid earlier session; the out-parameters (each may be
    // null) are written only then.
    static bool get(int* version, QString* type, QString* dir, QString* kv3dir);
    // Absolute path of update.ini in the application directory.
    static QString getIniPath();
    // Records a session; other groups and keys of the file stay as they are.
    static void modify(int version, const QString& dir, const QString& kv3dir, const QString& type);
    // Forgets the recorded session. The user's own groups (channel, proxy,
    // parallel downloads) stay; the file goes only when nothing else is in it.
    static void removeSession();
    // Hands the recorded session to stage two: a copy in tempDir/update.ini
    // with the stage-two client type. Writes nothing without a valid session.
    static void modifyTempIni(const QString& tempDir);
    // True only for a directory that this updater could have made as an
    // update's temporary directory: a real directory (not a link) directly
    // under the system temporary directory, named "kelvarion_temp_" and a
    // number from 0 to 999, owned by this user and closed to everyone else.
    // Any other directory named by a session file may belong to someone
    // else, or hold what must not be emptied; it is no session.
    static bool isSessionDirectory(const QString& dir);

private:
    static bool read(
        const QString& path, int* version, QString* type, QString* dir, QString* kv3dir);
    static void write(const QString& path, int version, const QString& dir, const QString& kv3dir,
        const QString& type);
};

#endif
