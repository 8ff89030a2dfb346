#include "deletejournal.h"
#include "downloadreplacelists.h"
#include "fastfileoptaskspecification.h"
#include "filecopytaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "filereplacetaskspecification.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "replacefixture.h"

// Stage two's replacement phase on a real installation: it turns release 1
// into release 2 byte for byte, and when anything fails, is canceled or is
// killed, the installation ends up exactly as it was.
class TestFileReplace : public QObject
{
    Q_OBJECT

    ReplaceFixture m_Fixture;
    Configuration m_Config;

    void configure()
    {
        m_Config.m_ClientUpdate = 1;
        m_Config.m_TempDir = m_Fixture.temp;
        m_Config.m_InstallDir = m_Fixture.install;
    }

    void verifyNoLeftovers()
    {
        for (const QString& entry : snapshot(m_Fixture.install).keys()) {
            QVERIFY2(!entry.endsWith(QLatin1String(".kv_kept")), qPrintable(entry));
            QVERIFY2(!entry.contains(QLatin1String(".kv_replace_journal")), qPrintable(entry));
        }
    }

    // Runs the phase in a child that kills itself on the first message
    // starting with killText.
    void killPhaseAt(const QString& killText)
    {
        QByteArray listText;
        for (const ReplaceEntry& entry : m_Fixture.list) {
            QList<QByteArray> fields;
            for (const QString& field : {entry.key, entry.targetPath, entry.patchKey, entry.hash})
                fields << QUrl::toPercentEncoding(field);
            fields << QByteArray::number(entry.size);
            listText += fields.join('\t') + '\n';
        }
        const QString listFile = m_Fixture.root->filePath(QStringLiteral("list"));
        QVERIFY(writeFile(listFile, listText));
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QStringLiteral(KV_REPLACE_CHILD),
            {m_Fixture.temp, m_Fixture.install, listFile, killText});
        QVERIFY(child.waitForFinished(60000));
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);
        QVERIFY(QFileInfo::exists(ReplaceJournal::journalPath(m_Fixture.install)));
    }

    static bool copyTree(const QString& from, const QString& to)
    {
        return QProcess::execute(QStringLiteral("cp"), {QStringLiteral("-a"), from, to}) == 0;
    }

    // Damages one entry of the list so that its replacement fails.
    void damage(const QString& how)
    {
        ReplaceList& list = m_Fixture.list;
        auto fetchedOf = [this](const QString& target) {
            return m_Fixture.fetched(m_Fixture.list.at(m_Fixture.indexOf(target)).key);
        };
        if (how == QLatin1String("missing source")) {
            QFile::remove(m_Fixture.fetched(QStringLiteral("newdir/sub/new.dat")));
        } else if (how == QLatin1String("corrupt container")) {
            QByteArray data = readFile(fetchedOf(QStringLiteral("lib/libx.so.5")));
            data[data.size() - 10] = char(data[data.size() - 10] ^ 1);
            writeFile(fetchedOf(QStringLiteral("lib/libx.so.5")), data);
        } else if (how == QLatin1String("container for a smaller size")) {
            // The container itself is sound: it only restores more than the
            // ini lets it.
            list[m_Fixture.indexOf(QStringLiteral("lib/libx.so.5"))].size -= 1;
        } else if (how == QLatin1String("corrupt gzip")) {
            QByteArray data = readFile(fetchedOf(QStringLiteral("data/packed.bin")));
            writeFile(fetchedOf(QStringLiteral("data/packed.bin")), data.left(data.size() / 2));
        } else if (how == QLatin1String("corrupt patch")) {
            const QString patch
                = m_Fixture.fetched(list.at(m_Fixture.indexOf(QStringLiteral("prog"))).patchKey);
            QByteArray data = readFile(patch);
            data[data.size() / 2] = char(data[data.size() / 2] ^ 0x40);
            writeFile(patch, data);
        } else if (how == QLatin1String("patch for another size")) {
            // The patch itself is sound: only the size the ini states differs.
            list[m_Fixture.indexOf(QStringLiteral("prog"))].size += 1;
        } else if (how == QLatin1String("hash mismatch")) {
            list[m_Fixture.indexOf(QStringLiteral("data/packed.bin"))].hash = sha512Of("other");
        } else if (how == QLatin1String("uncreatable directory")) {
            writeFile(m_Fixture.installed(QStringLiteral("newdir")), "a file in the way");
        } else if (how == QLatin1String("uncommittable journal")) {
            writeFile(ReplaceJournal::donePath(m_Fixture.install) + QStringLiteral("/x"), "x");
        }
    }

private slots:
    void initTestCase() { ::umask(022); }

    void init()
    {
        QVERIFY(m_Fixture.setUp());
        configure();
    }

    void phaseTurnsTheInstallationIntoTheNewRelease()
    {
        FileReplaceListTaskSpecification phase(&m_Fixture.list, &m_Config, nullptr, 0.4);
        QSignalSpy messages(&phase, &TaskSpecification::message);
        QVERIFY(runTask(&phase));
        QCOMPARE(phase.state(), int(STATE_FINISHED));
        QCOMPARE(messageTexts(messages).value(0), QStringLiteral("Starting file updates"));
        QVERIFY(!messageTexts(messages).contains(QStringLiteral("rolling back file updates")));
        // Contents and permission bits, file by file: release 2 exactly,
        // every replaced file with the mode of the file it replaced except
        // the programs and libraries the updater makes 0755.
        QCOMPARE(snapshot(m_Fixture.install), snapshot(m_Fixture.expected));
        verifyNoLeftovers();
        QCOMPARE(phase.progress(), 0.4);
    }

    void failedPhaseLeavesTheInstallationAsItWas_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("expected");
        QTest::newRow("missing source") << "missing source"
                                        << "Could not copy '%1' to '%2'";
        QTest::newRow("corrupt container") << "corrupt container"
                                           << "Could not unpack '%1' to '%2'";
        QTest::newRow("container for a smaller size") << "container for a smaller size"
                                                      << "Could not unpack '%1' to '%2'";
        QTest::newRow("corrupt gzip") << "corrupt gzip"
                                      << "Could not unzip '%1' to '%2'";
        QTest::newRow("corrupt patch") << "corrupt patch"
                                       << "Could not patch '%1' to '%2'";
        QTest::newRow("patch for another size") << "patch for another size"
                                                << "Could not patch '%1' to '%2'";
        QTest::newRow("hash mismatch") << "hash mismatch"
                                       << "Signature check failed for %1";
        QTest::newRow("uncreatable directory") << "uncreatable directory"
                                               << "unable to create dir %1";
        // Left live, the journal would undo the replacement on the next run.
        QTest::newRow("uncommittable journal") << "uncommittable journal"
                                               << "Could not write %1";
    }

    void failedPhaseLeavesTheInstallationAsItWas()
    {
        QFETCH(QString, how);
        QFETCH(QString, expected);
        damage(how);
        const QMap<QString, QString> before = snapshot(m_Fixture.install);
        FileReplaceListTaskSpecification phase(&m_Fixture.list, &m_Config, nullptr, 0.4);
        QSignalSpy messages(&phase, &TaskSpecification::message);
        QVERIFY(runTask(&phase));
        QCOMPARE(phase.state(), int(STATE_FAILED));
        const QStringList texts = messageTexts(messages);
        const QString failure = expected.section(QLatin1Char('%'), 0, 0);
        QVERIFY2(std::any_of(texts.begin(), texts.end(),
                     [&failure](const QString& t) { return t.startsWith(failure); }),
            qPrintable(texts.join(QLatin1Char('\n'))));
        QCOMPARE(texts.last(), QStringLiteral("rolling back file updates"));
        QCOMPARE(snapshot(m_Fixture.install), before);
    }

    void canceledPhaseLeavesTheInstallationAsItWas()
    {
        const QMap<QString, QString> before = snapshot(m_Fixture.install);
        FileReplaceListTaskSpecification phase(&m_Fixture.list, &m_Config, nullptr, 0.4);
        // Cancel once the first files are in place.
        connect(&phase, &TaskSpecification::message, &phase, [&phase](const QString& text) {
            if (text == QLatin1String("add/replace data/packed.bin.gz"))
                phase.cancel();
        });
        QVERIFY(runTask(&phase));
        QCOMPARE(phase.state(), int(STATE_CANCELED));
        QCOMPARE(snapshot(m_Fixture.install), before);
    }

    // The undo finds the installation changed under it. A step whose result
    // is gone is undone; one that cannot be undone (a directory stands where
    // a kept file goes back, a created directory holds a file of someone
    // else's) keeps the journal with the steps still to undo, and the next
    // run finishes the undo once that is out of the way. A link that points
    // nowhere still stands at its path: it is removed, not counted as gone.
    void undoMeetsAChangedInstallation_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("failure");
        QTest::addColumn<QString>("changed");
        QTest::addColumn<QString>("change");
        QTest::addColumn<QByteArray>("journal");
        QTest::addColumn<QString>("inTheWay");
        QTest::newRow("created file gone") << "missing source"
                                           << "Could not copy"
                                           << "plain.txt"
                                           << "remove" << QByteArray() << QString();
        // Failed as the journal is committed, when every file is in place.
        QTest::newRow("created file now a dangling link")
            << "uncommittable journal"
            << "Could not write"
            << "odd dir %2F\n/new %20file.dat"
            << "dangling link" << QByteArray() << QString();
        QTest::newRow("directory where a kept file goes back")
            << "corrupt gzip"
            << "Could not unzip"
            << "data/packed.bin/in_the_way"
            << "file" << QByteArray("K data/packed.bin\n") << "data/packed.bin";
        QTest::newRow("created directory not empty")
            << "missing source"
            << "Could not copy"
            << "newdir/stranger"
            << "file" << QByteArray("D newdir\n") << "newdir/stranger";
    }

    void undoMeetsAChangedInstallation()
    {
        QFETCH(QString, how);
        QFETCH(QString, failure);
        QFETCH(QString, changed);
        QFETCH(QString, change);
        QFETCH(QByteArray, journal);
        QFETCH(QString, inTheWay);
        damage(how);
        const QMap<QString, QString> before = snapshot(m_Fixture.install);
        FileReplaceListTaskSpecification phase(&m_Fixture.list, &m_Config, nullptr, 0.4);
        const QString path = m_Fixture.installed(changed);
        connect(&phase, &TaskSpecification::message, &phase, [&](const QString& text) {
            if (!text.startsWith(failure))
                return;
            if (change == QLatin1String("file")) {
                writeFile(path, "in the way");
                return;
            }
            QFile::remove(path);
            if (change == QLatin1String("dangling link"))
                QFile::link(m_Fixture.root->filePath(QStringLiteral("nowhere")), path);
        });
        QVERIFY(runTask(&phase));
        QCOMPARE(phase.state(), int(STATE_FAILED));
        const QString journalPath = ReplaceJournal::journalPath(m_Fixture.install);
        QCOMPARE(QFileInfo::exists(journalPath), !journal.isEmpty());
        QCOMPARE(readFile(journalPath), journal);
        const QString obstacle = m_Fixture.installed(inTheWay);
        if (!inTheWay.isEmpty())
            QVERIFY(QFileInfo(obstacle).isDir() ? QDir(obstacle).removeRecursively()
                                                : QFile::remove(obstacle));
        QVERIFY(ReplaceJournal::recover(m_Fixture.install));
        QCOMPARE(snapshot(m_Fixture.install), before);
    }

    // A symbolic link that points nowhere is kept aside as a link: the new
    // file takes its place, nothing is written where it points, and an undo
    // puts the link back.
    void danglingLinkIsKeptAsALink_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("phase succeeds") << "";
        QTest::newRow("phase fails") << "hash mismatch";
    }

    void danglingLinkIsKeptAsALink()
    {
        QFETCH(QString, how);
        const QString target = m_Fixture.root->filePath(QStringLiteral("nowhere"));
        const QString link = m_Fixture.installed(QStringLiteral("data/packed.bin"));
        QVERIFY(QFile::remove(link) && QFile::link(target, link));
        damage(how);
        const QMap<QString, QString> before = snapshot(m_Fixture.install);
        FileReplaceListTaskSpecification phase(&m_Fixture.list, &m_Config, nullptr, 0.4);
        QVERIFY(runTask(&phase));
        QCOMPARE(phase.state(), int(how.isEmpty() ? STATE_FINISHED : STATE_FAILED));
        QVERIFY(!QFileInfo::exists(target));
        if (how.isEmpty()) {
            QCOMPARE(
                readFile(link), readFile(m_Fixture.expected + QStringLiteral("/data/packed.bin")));
            QVERIFY(!QFileInfo(link).isSymLink());
            verifyNoLeftovers();
        } else {
            QCOMPARE(QFileInfo(link).symLinkTarget(), target);
            QCOMPARE(snapshot(m_Fixture.install), before);
        }
    }

    void fullDiskLeavesTheInstallationAsItWas()
    {
        const QString disk = QDir::tempPath() + QStringLiteral("/kv_replace_disk_%1").arg(getpid());
        SmallTmpfs tmpfs(disk, 1024);
        if (!tmpfs.mounted())
            QSKIP("cannot mount a tmpfs here");
        QVERIFY(m_Fixture.setUp(disk));
        configure();
        // A new file larger than the space left.
        QVERIFY(m_Fixture.copyEntry(QStringLiteral("big.dat"), releaseBytes(2 << 20, 2), 0644));
        const QMap<QString, QString> before = snapshot(disk);
        FileReplaceListTaskSpecification phase(&m_Fixture.list, &m_Config, nullptr, 0.4);
        QVERIFY(runTask(&phase));
        QCOMPARE(phase.state(), int(STATE_FAILED));
        QCOMPARE(snapshot(disk), before);
    }

    // A kill in the middle of the phase, at several points: the next run's
    // repair puts the installation back exactly as it was, and the phase
    // run again then completes.
    void killedPhaseIsRepairedByTheNextRun_data()
    {
        QTest::addColumn<QString>("killText");
        QTest::addColumn<QString>("how");
        // A file the phase created, found as a link that points nowhere.
        QTest::addColumn<QString>("danglingLink");
        QTest::newRow("first file") << "add/replace plain.txt"
                                    << "" << QString();
        QTest::newRow("after some files") << "add/replace data/packed.bin.gz"
                                          << "" << QString();
        QTest::newRow("patch prepared") << "Patching prog"
                                        << "" << QString();
        QTest::newRow("last file") << "add/replace newdir/sub/new.dat"
                                   << "" << QString();
        QTest::newRow("before the rollback") << "rolling back"
                                             << "hash mismatch" << QString();
        // Killed as the journal is committed, when every file is in place.
        QTest::newRow("created file now a dangling link")
            << "Could not write"
            << "uncommittable journal" << QStringLiteral("odd dir %2F\n/new %20file.dat");
    }

    void killedPhaseIsRepairedByTheNextRun()
    {
        QFETCH(QString, killText);
        QFETCH(QString, how);
        QFETCH(QString, danglingLink);
        damage(how);
        const QMap<QString, QString> before = snapshot(m_Fixture.install);
        killPhaseAt(killText);
        if (QTest::currentTestFailed())
            return;
        if (!danglingLink.isEmpty()) {
            const QString path = m_Fixture.installed(danglingLink);
            QVERIFY(QFile::remove(path));
            QVERIFY(QFile::link(m_Fixture.root->filePath(QStringLiteral("nowhere")), path));
        }

        QVERIFY(ReplaceJournal::recover(m_Fixture.install));
        QCOMPARE(snapshot(m_Fixture.install), before);

        if (!how.isEmpty())
            return;
        FileReplaceListTaskSpecification phase(&m_Fixture.list, &m_Config, nullptr, 0.4);
        QVERIFY(runTask(&phase));
        QCOMPARE(phase.state(), int(STATE_FINISHED));
        QCOMPARE(snapshot(m_Fixture.install), snapshot(m_Fixture.expected));
    }

    // A journal cut at any byte, as a kill while it is written leaves it:
    // the repair touches only what its complete lines name. The journals are
    // real ones, of a phase killed on its last file and of a deletion phase.
    void cutJournalTouchesOnlyItsCompleteLines_data()
    {
        QTest::addColumn<bool>("deletion");
        QTest::newRow("replacement") << false;
        QTest::newRow("deletion") << true;
    }

    void cutJournalTouchesOnlyItsCompleteLines()
    {
        QFETCH(bool, deletion);
        const QString name = QFileInfo(deletion ? DeleteJournal::journalPath(m_Fixture.install)
                                                : ReplaceJournal::journalPath(m_Fixture.install))
                                 .fileName();
        // The installation as the repair finds it, without the journal.
        const QString start = m_Fixture.root->filePath(QStringLiteral("start"));
        QByteArray written;
        if (deletion) {
            // A tree whose parent holds more.
            QVERIFY(writeFile(m_Fixture.installed(QStringLiteral("data/old/sub/x")), "x"));
            QVERIFY(copyTree(m_Fixture.install, start));
            const DeleteList list {{QStringLiteral("data/old/sub"), true},
                {QStringLiteral("odd %41 name\n.txt"), false},
                {QStringLiteral("plain.txt"), false}};
            FileDeleteListTaskSpecification phase(&list, &m_Config, nullptr, 1.0);
            // The journal is written before the first deletion starts.
            phase.makeSubtasksAndStart();
            written = readFile(m_Fixture.installed(name));
            QVERIFY(QTest::qWaitFor([&phase] { return phase.state() != STATE_RUNNING; }));
        } else {
            killPhaseAt(QStringLiteral("add/replace newdir/sub/new.dat"));
            if (QTest::currentTestFailed())
                return;
            written = readFile(m_Fixture.installed(name));
            QVERIFY(QFile::remove(m_Fixture.installed(name)));
            QVERIFY(copyTree(m_Fixture.install, start));
        }
        QVERIFY(written.count('\n') >= 3);
        const QMap<QString, QString> untouched = snapshot(start);
        const QString work = m_Fixture.root->filePath(QStringLiteral("work"));
        for (int length = 0; length <= written.size(); ++length) {
            QDir(work).removeRecursively();
            QVERIFY(copyTree(start, work));
            QVERIFY(writeFile(work + QLatin1Char('/') + name, written.left(length)));
            QVERIFY(ReplaceJournal::recover(work));
            // What the complete lines name: the path, below it for a deleted
            // tree, and beside it what the phase kept or half wrote.
            QList<QByteArray> lines = written.left(length).split('\n');
            lines.removeLast();
            QStringList named;
            for (const QByteArray& line : lines)
                named << QUrl::fromPercentEncoding(line.mid(2));
            auto isNamed = [&named, deletion](const QString& entry) {
                for (const QString& path : named) {
                    if (entry == path || entry.startsWith(path + QStringLiteral(".kv"))
                        || (deletion && entry.startsWith(path + QLatin1Char('/'))))
                        return true;
                }
                return false;
            };
            const QMap<QString, QString> after = snapshot(work);
            for (const QString& entry : untouched.keys() + after.keys()) {
                if (!isNamed(entry))
                    QVERIFY2(after.value(entry) == untouched.value(entry),
                        qPrintable(QStringLiteral("%1 bytes: %2").arg(length).arg(entry)));
            }
        }
    }

    // Killed after the phase succeeded but before the kept files were
    // removed: the new release stays and only the kept files go.
    void killAfterSuccessKeepsTheNewRelease()
    {
        writeFile(m_Fixture.installed(QStringLiteral("prog.kv_kept")), "previous prog");
        writeFile(ReplaceJournal::donePath(m_Fixture.install), "K prog\n");
        const QByteArray prog = readFile(m_Fixture.installed(QStringLiteral("prog")));
        QVERIFY(ReplaceJournal::recover(m_Fixture.install));
        QCOMPARE(readFile(m_Fixture.installed(QStringLiteral("prog"))), prog);
        verifyNoLeftovers();
    }

    // A container or patch writer killed before its rename leaves its file
    // beside the target; the repair removes it with the rest.
    void writerLeftoversAreRemoved()
    {
        const QMap<QString, QString> before = snapshot(m_Fixture.install);
        QVERIFY(QFile::rename(m_Fixture.installed(QStringLiteral("prog")),
            m_Fixture.installed(QStringLiteral("prog.kv_kept"))));
        writeFile(m_Fixture.installed(QStringLiteral("prog.kvtmp.4711.3")), "half a patch");
        writeFile(m_Fixture.installed(QStringLiteral("newdir/new.dat.kvtmp.4711.4")), "half");
        writeFile(m_Fixture.installed(QStringLiteral("prog.kvtmp.keep")), "not a writer's");
        writeFile(
            ReplaceJournal::journalPath(m_Fixture.install), "D newdir\nK prog\nN newdir/new.dat\n");
        QVERIFY(ReplaceJournal::recover(m_Fixture.install));
        QVERIFY(QFile::remove(m_Fixture.installed(QStringLiteral("prog.kvtmp.keep"))));
        QCOMPARE(snapshot(m_Fixture.install), before);
    }

    // The compile repairs a killed phase before it builds the lists on the
    // installation. A journal still there means it could not (here a
    // directory stands where the kept file would go back), so the lists rest
    // on a half-replaced installation: the phase does not start on it, even
    // where a repair would succeed by now. The kept file and the journal stay.
    void journalLeftStopsThePhase_data()
    {
        QTest::addColumn<QString>("inTheWay");
        QTest::newRow("unrepairable") << QStringLiteral("x/in_the_way");
        QTest::newRow("repairable by now") << QStringLiteral("x");
    }

    void journalLeftStopsThePhase()
    {
        QFETCH(QString, inTheWay);
        writeFile(m_Fixture.installed(QStringLiteral("x.kv_kept")), "previous x");
        writeFile(m_Fixture.installed(inTheWay), "half written");
        writeFile(ReplaceJournal::journalPath(m_Fixture.install), "K x\n");
        FileReplaceListTaskSpecification phase(&m_Fixture.list, &m_Config, nullptr, 0.4);
        QSignalSpy messages(&phase, &TaskSpecification::message);
        phase.execute();
        QCOMPARE(phase.state(), int(STATE_FAILED));
        QCOMPARE(messageTexts(messages).last(),
            QStringLiteral("Could not undo an interrupted update in %1").arg(m_Fixture.install));
        QCOMPARE(readFile(m_Fixture.installed(inTheWay)), QByteArray("half written"));
        QCOMPARE(
            readFile(m_Fixture.installed(QStringLiteral("x.kv_kept"))), QByteArray("previous x"));
        QVERIFY(QFileInfo::exists(ReplaceJournal::journalPath(m_Fixture.install)));
    }

    void journalNeverReachesOutsideTheInstallation()
    {
        writeFile(m_Fixture.root->filePath(QStringLiteral("outside")), "outside");
        writeFile(m_Fixture.root->filePath(QStringLiteral("outside.kv_kept")), "kept outside");
        writeFile(ReplaceJournal::journalPath(m_Fixture.install),
            "N ../outside\nK ../outside\nN /etc/passwd\nD ..\ngarbage\n");
        QVERIFY(ReplaceJournal::recover(m_Fixture.install));
        QCOMPARE(
            readFile(m_Fixture.root->filePath(QStringLiteral("outside"))), QByteArray("outside"));
        QCOMPARE(readFile(m_Fixture.root->filePath(QStringLiteral("outside.kv_kept"))),
            QByteArray("kept outside"));
    }

    // The compile reads the installation; it repairs it first.
    void compileRepairsAKilledPhaseFirst()
    {
        const QByteArray prog = readFile(m_Fixture.installed(QStringLiteral("prog")));
        QVERIFY(QFile::rename(m_Fixture.installed(QStringLiteral("prog")),
            m_Fixture.installed(QStringLiteral("prog.kv_kept"))));
        writeFile(m_Fixture.installed(QStringLiteral("prog")), "half written");
        writeFile(ReplaceJournal::journalPath(m_Fixture.install), "K prog\n");
        writeFile(m_Fixture.fetched(QStringLiteral("kv3_client_linux_x86.ini")),
            "[files]\nprog=" + sha512Of(prog).toLatin1() + "::1\n");
        DownloadReplaceLists lists;
        MakeDownloadReplaceListTaskSpecification compile(&m_Config, &lists, nullptr, 0.05);
        QVERIFY(runTask(&compile));
        QCOMPARE(compile.state(), int(STATE_FINISHED));
        QCOMPARE(readFile(m_Fixture.installed(QStringLiteral("prog"))), prog);
        QVERIFY(lists.replaceList.isEmpty());
        verifyNoLeftovers();
    }

    void emptyListFinishesAtOnce()
    {
        const ReplaceList empty;
        FileReplaceListTaskSpecification phase(&empty, &m_Config, nullptr, 0.4);
        QSignalSpy messages(&phase, &TaskSpecification::message);
        phase.execute();
        QCOMPARE(phase.state(), int(STATE_FINISHED));
        QCOMPARE(messageTexts(messages), QStringList {QStringLiteral("Starting file updates")});
        QVERIFY(phase.subtasks().isEmpty());
    }

    void directoriesFirstAndWeights()
    {
        ReplaceList list;
        // A plain line's key may keep "." components: its directory is "a".
        for (const char* key : {"a/b/f2", "a/./f1", "a/f3", "top"}) {
            ReplaceEntry entry;
            entry.key = QString::fromLatin1(key);
            list.append(entry);
        }
        FileReplaceListTaskSpecification phase(&list, &m_Config, nullptr, 0.4);
        phase.makeSubtasksAndStart();
        const QList<TaskSpecification*> children = phase.subtasks();
        QCOMPARE(children.size(), 6);
        QCOMPARE(qobject_cast<FastFileOpTaskSpecification*>(children.at(0))->path(),
            m_Fixture.installed(QStringLiteral("a")));
        QCOMPARE(qobject_cast<FastFileOpTaskSpecification*>(children.at(1))->path(),
            m_Fixture.installed(QStringLiteral("a/b")));
        QCOMPARE(children.at(0)->weight(), 0.05);
        QCOMPARE(children.at(2)->weight(), 0.9 / 4);
        // Nothing was fetched for these entries: the phase fails and takes
        // its directories back.
        QVERIFY(QTest::qWaitFor([&phase] { return phase.state() != STATE_RUNNING; }));
        QVERIFY(!QFileInfo::exists(m_Fixture.installed(QStringLiteral("a"))));
    }

    // The base of a patch is a copy of the installed file, which may be a
    // large program: it is made on the pool, before the file is moved aside,
    // and not on the GUI thread while the task is set up.
    void patchBaseIsCopiedOnThePool()
    {
        const ReplaceEntry& entry = m_Fixture.list.at(m_Fixture.indexOf(QStringLiteral("prog")));
        FileReplaceTaskSpecification task(entry, nullptr, &m_Config, nullptr, 1.0, nullptr);
        task.makeSubtasksAndStart();
        const QList<TaskSpecification*> children = task.subtasks();
        QVERIFY(!children.isEmpty());
        auto* copy = qobject_cast<FileCopyTaskSpecification*>(children.at(0));
        QVERIFY(copy);
        QCOMPARE(copy->source(), m_Fixture.installed(QStringLiteral("prog")));
        QCOMPARE(copy->destination(), m_Fixture.fetched(QStringLiteral("prog_old")));
        QVERIFY(QTest::qWaitFor([&task] { return task.state() != STATE_RUNNING; }));
        QCOMPARE(task.state(), int(STATE_FINISHED));
        QCOMPARE(snapshot(m_Fixture.install).value(QStringLiteral("prog")),
            snapshot(m_Fixture.expected).value(QStringLiteral("prog")));
    }

    void execNamesAndSuffixes_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("exec");
        QTest::newRow("update") << "update" << true;
        QTest::newRow("runscript") << "kv3client_runscript.sh" << true;
        QTest::newRow("so.4") << "libx.so.4" << true;
        QTest::newRow("so") << "libfoo.so" << true;
        QTest::newRow("update.sh") << "update.sh" << false;
        QTest::newRow("so.4.1") << "libx.so.4.1" << false;
        QTest::newRow("so.5.5.1") << "libfoo.so.5.5.1" << false;
    }

    void execNamesAndSuffixes()
    {
        QFETCH(QString, name);
        QFETCH(bool, exec);
        QCOMPARE(FileReplaceTaskSpecification::isExecFileName(name), exec);
        const QString path = m_Fixture.installed(QStringLiteral("sub/") + name);
        writeFile(path, "x");
        setMode(path, 0600);
        FileReplaceTaskSpecification::setExecPermissions(path);
        QCOMPARE(modeOf(path), exec ? 0755 : 0600);
    }

    void containerChosenByExactSuffix()
    {
        QVERIFY(
            FileReplaceTaskSpecification::isContainerName(QStringLiteral("client.bin._lzma2_")));
        QVERIFY(
            !FileReplaceTaskSpecification::isContainerName(QStringLiteral("client.bin._LZMA2_")));
        QVERIFY(!FileReplaceTaskSpecification::isContainerName(QStringLiteral("client.bin.gz")));
    }
};

QTEST_GUILESS_MAIN(TestFileReplace)
#include "tst_filereplace.moc"
