#ifndef SAFETEMPFILE_H
#define SAFETEMPFILE_H

#include <QByteArray>
#include <QString>

// Files and directories in the shared system temporary directory, where any
// local user can create entries before the updater does: a symbolic link
// planted under an expected name would make a plain open write through to a
// file of the user running the updater, and a planted file would feed the
// updater content of someone else's choice. These operations never follow a
// symbolic link in the last path component and accept only what belongs to
// the user running the updater and cannot be changed by others.
class SafeTempFile
{
public:
    // The directory at path, created for its owner only when it is missing
    // (one level). Returns an open descriptor of it, or -1 when it is not a
    // real directory owned by the running user or when others may write to
    // it. The caller closes the descriptor.
    static int openPrivateDirectory(const QString& path);

    // Opens name in the directory dirFd (AT_FDCWD for a full path) for
    // writing and empties it, creating it with mode 0600. Refuses (-1) a
    // symbolic link, anything but a regular file, a file of another owner,
    // one that others may write to, and one with further hard links. The
    // caller closes the descriptor.
    static int openForWriting(int dirFd, const QString& name);

    // Writes data as the whole content of the file at path (see
    // openForWriting); false when refused or not completely written.
    static bool writeFile(const QString& path, const QByteArray& data);

    // Reads at most maxSize bytes of the file at path into data. False (data
    // empty) when the file is missing, a symbolic link, not a regular file,
    // not the running user's, or writable by others.
    static bool readFile(const QString& path, qint64 maxSize, QByteArray* data);

    // Removes the file at path when it is the running user's (a symbolic
    // link is removed itself, never its target); a missing file is no error.
    static void removeFile(const QString& path);
};

#endif
