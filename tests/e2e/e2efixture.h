#ifndef E2EFIXTURE_H
#define E2EFIXTURE_H

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <memory>

// What one run of the session driver did.
struct SessionRun
{
    int exitCode = -1;
    bool killed = false;
    QStringList messages;
    QString output;
    // What a sanitizer reported in the run, if anything (printed in full as
    // the run ends).
    QString sanitizerReports;
};

// The end of a run's output, which decided its outcome (Qt Test cuts long
// failure texts).
QString describe(const SessionRun& run);
// An environment of the given variables only.
QProcessEnvironment environment(const QList<QPair<QString, QString>>& variables);

// A small tmpfs mounted on an existing directory, for running out of space.
// Mounting needs the right to do so (root); mounted() says whether it worked.
class SmallDisk
{
public:
    SmallDisk(const QString& path, qint64 bytes);
    ~SmallDisk();
    bool mounted() const { return m_Mounted; }
    // Fills the disk with a file so that at most `left` bytes stay free;
    // removeFiller() frees them again.
    bool fill(qint64 left);
    void removeFiller();

private:
    QString m_Path;
    bool m_Mounted = false;
};

// Files and directories of two trees that differ, as "only in a: PATH",
// "only in b: PATH" and "differs: PATH" lines; empty when the trees are equal
// byte for byte. Paths in `ignored` (relative) are left out.
QStringList treeDifferences(
    const QString& a, const QString& b, const QStringList& ignored = QStringList());
bool copyTree(const QString& from, const QString& to);
bool writeFile(const QString& path, const QByteArray& data, bool executable = false);
QByteArray readFile(const QString& path);
// Flips one byte in the middle of a file.
bool corruptFile(const QString& path);
// Cuts a file to its first half.
bool truncateFile(const QString& path);

// Two installations of the client (release 1 and release 2) that differ in
// every way a release can: a changed executable, changed text and data
// files, a new file in a new directory, removed files and a removed
// directory, and pre- and post-install commands. The commands read the
// environment of the updater: KV_E2E_PRE_EXIT / KV_E2E_POST_EXIT give their
// exit status, KV_E2E_CMD_SLEEP makes them wait that many seconds first,
// KV_E2E_CORRUPT names a file in which they change a byte.
bool makeInstallations(const QString& oldDir, const QString& newDir);

// The release tool: writes OUT/<version> from the two installations, signed
// with the development key; the installations' updater files are shipped
// plain.
bool makeRelease(const QString& oldDir, const QString& newDir, int version, const QString& out,
    QString* log, const QStringList& extraArguments = QStringList());

// Adds lines ("SECTION/KEY", value) to the stage-two product ini of the
// release in versionDir, then packs and signs it again as the release tool
// does: a release written by another hand.
bool addProductIniLines(const QString& versionDir, const QList<QPair<QString, QString>>& lines);

// One private world for end-to-end runs: a system temporary directory, a
// configuration directory whose update.ini puts the run on the Alpha channel
// of a local file server, and a home directory, all under one temporary
// directory, handed to the session driver through its environment.
class SessionWorld
{
public:
    SessionWorld();
    bool isValid() const { return m_Root->isValid(); }
    QString path(const QString& relative) const { return m_Root->path() + '/' + relative; }
    QString tmpDir() const { return path("tmp"); }
    QString sessionDir(int n = 0) const
    {
        return tmpDir() + "/kelvarion_temp_" + QString::number(n);
    }
    // Alpha channel: file server base address and release version.
    void setChannel(const QString& baseUrl, int version);
    // Group "update" (proxy, streams) of the update.ini beside a program.
    static void setUpdateSettings(const QString& programDir, const QString& proxy);
    // Records a stage-one session for stage two, as stage one does, beside
    // the program in programDir.
    void writeStageTwoSession(const QString& programDir, int version, const QString& installDir);
    // A private session directory as the updater makes them.
    bool makeSessionDir(int n = 0) const;

    // Runs program with args; extra variables join the world's environment.
    SessionRun run(const QString& program, const QStringList& args,
        const QProcessEnvironment& extra = QProcessEnvironment()) const;

    // The session driver, built beside the test.
    static QString driver();

private:
    std::unique_ptr<QTemporaryDir> m_Root;
};

#endif
