// The fault matrix: for each phase of a stage-two session, the faults that
// can strike it, each in a run of the session driver against the file
// server. After every fault the installation must equal the old release or
// the new one byte for byte (after a SIGKILL: once what the killed run kept
// aside has been put back, which the next run does before anything else),
// and a second run without the fault must complete the update.
#include "deletejournal.h"
#include "replacejournal.h"
#include "testhttpserver.h"
#include "testnginx.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QtTest>

#include "e2efixture.h"

namespace {

enum class Fault
{
    NotFound,
    CutBody,
    CorruptByte,
    BadSignature,
    FailingCommand,
    FullDisk,
    Kill
};

enum class Outcome
{
    Old,
    New
};

struct MatrixCase
{
    const char* phase;
    Fault fault;
    // Served file (prefix below the version directory), disk to fill
    // ("tmp" or "install"), command variable, or message to be killed on.
    QString target;
    int occurrence;
    Outcome outcome;
    // A message of the faulty run that shows the fault was what ended it.
    QString expected;
};

const char* faultName(Fault fault)
{
    switch (fault) {
    case Fault::NotFound:
        return "404";
    case Fault::CutBody:
        return "cut body";
    case Fault::CorruptByte:
        return "corrupt byte";
    case Fault::BadSignature:
        return "bad signature";
    case Fault::FailingCommand:
        return "failing command";
    case Fault::FullDisk:
        return "full disk";
    case Fault::Kill:
        return "SIGKILL";
    }
    return "";
}

const char* outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Old:
        return "old release";
    case Outcome::New:
        return "new release";
    }
    return "";
}

const QString kIni = QStringLiteral("kv3_client_linux_x86.ini");

const QList<MatrixCase>& matrix()
{
    static const QList<MatrixCase> cases = {
        {"product ini", Fault::NotFound, kIni + "._lzma2_", 0, Outcome::Old,
            "Unable to download " + kIni + "._lzma2_"},
        {"product ini", Fault::CutBody, kIni + "._lzma2_", 0, Outcome::Old,
            "Unable to download " + kIni + "._lzma2_"},
        {"product ini", Fault::CorruptByte, kIni + "._lzma2_", 0, Outcome::Old, "Could not unpack"},
        {"product ini", Fault::BadSignature, kIni + ".sig", 0, Outcome::Old,
            "Could not verify the product ini file. Aborting"},
        {"product ini", Fault::FullDisk, "tmp", 0, Outcome::Old,
            "Unable to download " + kIni + "._lzma2_"},
        {"product ini", Fault::Kill, "^Downloading " + kIni, 1, Outcome::Old, ""},
        // An installed file that a patch would apply to no longer matches
        // the patch's base: the compile fetches the whole file instead.
        {"compile", Fault::CorruptByte, "data/big.bin", 0, Outcome::New,
            "Update successfully finished"},
        {"compile", Fault::Kill, "^Compiling download and replace list", 1, Outcome::Old, ""},
        {"downloads", Fault::NotFound, "client/data/assets.bin", 0, Outcome::Old,
            "Unable to download client/data/assets.bin"},
        {"downloads", Fault::CutBody, "client/data/assets.bin", 0, Outcome::Old,
            "Unable to download client/data/assets.bin"},
        {"downloads", Fault::CorruptByte, "client/data/assets.bin", 0, Outcome::Old,
            "Unable to download client/data/assets.bin"},
        {"downloads", Fault::FullDisk, "tmp", 0, Outcome::Old, "Unable to download"},
        {"downloads", Fault::Kill, "^Downloading client/.* finished", 1, Outcome::Old, ""},
        {"pre-install", Fault::FailingCommand, "KV_E2E_PRE_EXIT", 0, Outcome::Old,
            "Failed to complete preinstall.sh, exit code: 1"},
        {"pre-install", Fault::Kill, "^Starting preinstall.sh", 1, Outcome::Old, ""},
        // A fetched file changed on disk after its check: the pre-install
        // command changes a byte of it.
        {"replacement", Fault::CorruptByte, "data/assets.bin._lzma2_", 0, Outcome::Old,
            "Could not unpack"},
        {"replacement", Fault::FullDisk, "install", 0, Outcome::Old, "rolling back file updates"},
        {"replacement", Fault::Kill, "^add/replace", 3, Outcome::Old, ""},
        {"replacement", Fault::Kill, "^Patching ", 1, Outcome::Old, ""},
        {"deletion", Fault::Kill, "^Deleted ", 1, Outcome::New, ""},
        {"post-install", Fault::FailingCommand, "KV_E2E_POST_EXIT", 0, Outcome::New,
            "Failed to complete postinstall.sh, exit code: 1"},
        {"post-install", Fault::Kill, "^Starting postinstall.sh", 1, Outcome::New, ""},
    };
    return cases;
}

// A kill names the message it came on.
QString faultLabel(const MatrixCase& c)
{
    QString label = QString::fromLatin1(faultName(c.fault));
    if (c.fault == Fault::Kill) {
        label += QStringLiteral(" on \"%1\"").arg(c.target.mid(1));
        if (c.occurrence > 1)
            label += QStringLiteral(" #%1").arg(c.occurrence);
    }
    return label;
}

} // namespace

class TestE2eFaults : public QObject
{
    Q_OBJECT

private:
    static constexpr int kVersion = 2;
    QTemporaryDir m_Base;
    TestNginx m_Nginx;
    QStringList m_Table;

    QString oldDir() const { return m_Base.path() + "/old"; }
    QString newDir() const { return m_Base.path() + "/new"; }
    QString pristine() const { return m_Base.path() + "/pristine"; }
    QString served() const { return m_Base.path() + "/serve"; }
    QString versionDir(const QString& root) const { return root + '/' + QString::number(kVersion); }
    QString program() const { return m_Base.path() + "/bin/update"; }

    // The served files whose paths below the version directory start with
    // prefix: a release file in each of its forms (packed, patches), so that
    // whichever the run asks for carries the fault.
    QStringList servedFiles(const QString& prefix) const
    {
        QStringList files;
        QDirIterator it(versionDir(served()), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (QDir(versionDir(served())).relativeFilePath(path).startsWith(prefix))
                files << path;
        }
        return files;
    }

    void serveTree(TestHttpServer* server, const QStringList& cutFiles)
    {
        QDirIterator it(served(), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QByteArray data = readFile(path);
            const QString url = '/' + QDir(served()).relativeFilePath(path);
            server->serve(url,
                cutFiles.contains(path) ? TestHttpResponse::cutOff(data, data.size() / 2)
                                        : TestHttpResponse::ok(data));
        }
    }

    QStringList outcomeDifferences(
        const QString& install, Outcome outcome, const QStringList& ignored) const
    {
        switch (outcome) {
        case Outcome::Old:
            return treeDifferences(install, oldDir(), ignored);
        case Outcome::New:
            return treeDifferences(install, newDir(), ignored);
        }
        return {"?"};
    }

private slots:
    void initTestCase()
    {
        if (TestNginx::executable().isEmpty())
            QSKIP("nginx is not installed");
        QVERIFY(makeInstallations(oldDir(), newDir()));
        QString log;
        QVERIFY2(makeRelease(oldDir(), newDir(), kVersion, pristine(), &log), qPrintable(log));
        // The stage-two updater runs from here with the session file beside
        // it, as it would from its temporary directory.
        QVERIFY(writeFile(program(), readFile(SessionWorld::driver()), true));
        QVERIFY(QDir().mkpath(served()));
        QVERIFY2(m_Nginx.start(served()), qPrintable(m_Nginx.errorString()));
        m_Table << "| phase | fault | installation after the fault | second run |"
                << "|---|---|---|---|";
    }

    void cleanupTestCase()
    {
        m_Nginx.stop();
        qInfo().noquote() << "\n" + m_Table.join('\n');
    }

    void fault_data()
    {
        QTest::addColumn<int>("index");
        for (int i = 0; i < matrix().size(); ++i) {
            const MatrixCase& c = matrix().at(i);
            QTest::newRow(qPrintable(QString("%1: %2").arg(c.phase, faultLabel(c)))) << i;
        }
    }

    void fault()
    {
        QFETCH(int, index);
        const MatrixCase& c = matrix().at(index);
        SessionWorld world;
        QVERIFY(world.isValid());
        const QString install = world.path("install");
        std::unique_ptr<SmallDisk> disk;
        if (c.fault == Fault::FullDisk) {
            const QString where = c.target == "tmp" ? world.tmpDir() : install;
            disk = std::make_unique<SmallDisk>(where, 4 * 1024 * 1024);
            if (!disk->mounted())
                QSKIP("cannot mount a tmpfs here");
        }
        QVERIFY(copyTree(oldDir(), install));
        QVERIFY(world.makeSessionDir());
        QFile::remove(QFileInfo(program()).path() + "/update.ini");
        world.writeStageTwoSession(QFileInfo(program()).path(), kVersion, install);
        QDir(served()).removeRecursively();
        QVERIFY(copyTree(pristine(), served()));
        world.setChannel(m_Nginx.url(), kVersion);

        QProcessEnvironment env;
        std::unique_ptr<TestHttpServer> liar;
        const QStringList targets = c.target.contains('/') || c.target.startsWith(kIni)
            ? servedFiles(c.target)
            : QStringList();
        switch (c.fault) {
        case Fault::NotFound:
            QVERIFY(!targets.isEmpty());
            for (const QString& file : targets)
                QVERIFY(QFile::remove(file));
            break;
        case Fault::CutBody:
            // nginx sends whole files; a server that stops in the middle is
            // the test's own.
            liar = std::make_unique<TestHttpServer>();
            QVERIFY(liar->listen());
            QVERIFY(!targets.isEmpty());
            serveTree(liar.get(), targets);
            world.setChannel(liar->url("/"), kVersion);
            break;
        case Fault::CorruptByte:
            if (c.phase == QLatin1String("compile")) {
                QVERIFY(corruptFile(install + '/' + c.target));
                break;
            }
            if (c.phase == QLatin1String("replacement")) {
                env.insert("KV_E2E_CORRUPT", world.sessionDir() + '/' + c.target);
                break;
            }
            QVERIFY(!targets.isEmpty());
            for (const QString& file : targets)
                QVERIFY(corruptFile(file));
            break;
        case Fault::BadSignature:
            QVERIFY(!targets.isEmpty());
            for (const QString& file : targets)
                QVERIFY(corruptFile(file));
            break;
        case Fault::FailingCommand:
            env.insert(c.target, "1");
            break;
        case Fault::FullDisk:
            // Room for the product ini and the small files, not for the
            // large one: the product ini fails only on a disk with none.
            QVERIFY(disk->fill(c.phase == QLatin1String("product ini") ? 0 : 64 * 1024));
            break;
        case Fault::Kill:
            env.insert("KV_E2E_ON", c.target);
            env.insert("KV_E2E_AFTER", QString::number(c.occurrence));
            env.insert("KV_E2E_DO", "kill");
            // A command waits a little, so that the kill comes while it runs.
            if (c.target.startsWith(QLatin1String("^Starting ")))
                env.insert("KV_E2E_CMD_SLEEP", "1");
            break;
        }

        const QStringList args
            = {"--clientupdate", "client_linux_x86", QString::number(kVersion), "#"};
        const SessionRun faulty = world.run(program(), args, env);
        if (c.fault == Fault::Kill) {
            QVERIFY2(faulty.killed, qPrintable(describe(faulty)));
            // Killed while files were kept aside, or among the deletions:
            // there is something to repair.
            if (c.phase == QLatin1String("replacement"))
                QVERIFY(QFileInfo::exists(ReplaceJournal::journalPath(install)));
            if (c.phase == QLatin1String("deletion"))
                QVERIFY(QFileInfo::exists(DeleteJournal::journalPath(install)));
            // What the next run does first, before it changes anything.
            QVERIFY(ReplaceJournal::recover(install));
        } else {
            // A fault the run gets over ends it as a success.
            const bool overcome = c.expected == QLatin1String("Update successfully finished");
            QVERIFY2(faulty.exitCode == (overcome ? 0 : 3), qPrintable(describe(faulty)));
            QVERIFY2(faulty.output.contains(c.expected), qPrintable(describe(faulty)));
        }
        const QStringList afterFault = outcomeDifferences(install, c.outcome, {".filler"});
        QVERIFY2(afterFault.isEmpty(), qPrintable(afterFault.join('\n') + '\n' + describe(faulty)));

        if (faulty.exitCode == 0) {
            // The run got over its fault and ended the session.
            QVERIFY(!QFileInfo::exists(world.sessionDir()));
            m_Table << QString("| %1 | %2 | %3 | not needed |")
                           .arg(c.phase, faultLabel(c), outcomeName(c.outcome));
            return;
        }

        // The same run without the fault.
        QDir(served()).removeRecursively();
        QVERIFY(copyTree(pristine(), served()));
        world.setChannel(m_Nginx.url(), kVersion);
        if (disk)
            disk->removeFiller();
        liar.reset();
        const SessionRun second = world.run(program(), args);
        QVERIFY2(second.exitCode == 0, qPrintable(describe(second)));
        const QStringList afterSecond = treeDifferences(install, newDir());
        QVERIFY2(afterSecond.isEmpty(), qPrintable(afterSecond.join('\n')));
        QVERIFY(!QFileInfo::exists(world.sessionDir()));
        m_Table << QString("| %1 | %2 | %3 | new release |")
                       .arg(c.phase, faultLabel(c), outcomeName(c.outcome));
    }
};

QTEST_GUILESS_MAIN(TestE2eFaults)
#include "tst_e2e_faults.moc"
