#include "deletejournal.h"
#include "dircreatetaskspecification.h"
#include "filecopytaskspecification.h"
#include "filedeletelisttaskspecification.h"
#include "filedeletetaskspecification.h"
#include "filerenametaskspecification.h"
#include "filetaskspecification_patch.h"
#include "filetaskstesthelpers.h"
#include "fileunpacktaskspecification_lzma2.h"
#include "fileunpacktaskspecification_zip.h"
#include "journalline.h"
#include "replacejournal.h"

#include <QTemporaryDir>

#include <memory>

// The small file tasks on real files: what they make, what they record for
// undo, and what they say and leave behind when they fail.
class TestFileTasks : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_Dir;
    QString path(const QString& name) const { return m_Dir->filePath(name); }

    enum Writer
    {
        Copy,
        Lzma2,
        Gzip,
        Patch
    };

    // What stands at a writer's destination before it writes.
    enum Destination
    {
        NoLink,
        Link,
        DanglingLink
    };

    SlowFileOpSpecification* makeWriter(
        Writer writer, RollbackDataList* records, const QString& source, const QString& destination)
    {
        switch (writer) {
        case Copy:
            return new FileCopyTaskSpecification(records, source, destination, nullptr, 1.0);
        case Lzma2:
            return new FileUnpackTaskSpecification_lzma2(
                records, source, destination, nullptr, 1.0);
        case Gzip:
            return new FileUnpackTaskSpecification_zip(records, source, destination, nullptr, 1.0);
        case Patch:
            return new FileTaskSpecification_patch(
                records, path(QStringLiteral("old")), source, destination, nullptr, 1.0);
        }
        return nullptr;
    }

    // Packs content the way the writer reads it.
    QString makeSource(Writer writer, const QByteArray& content)
    {
        const QString plain = path(QStringLiteral("plain"));
        writeFile(plain, content);
        switch (writer) {
        case Copy:
            return plain;
        case Lzma2:
            packFile(plain, path(QStringLiteral("packed._lzma2_")));
            return path(QStringLiteral("packed._lzma2_"));
        case Gzip:
            gzipFile(path(QStringLiteral("packed.gz")), content);
            return path(QStringLiteral("packed.gz"));
        case Patch:
            writeFile(path(QStringLiteral("old")), releaseBytes(content.size() + 100, 1));
            makePatch(path(QStringLiteral("old")), plain, path(QStringLiteral("file._patch_")));
            return path(QStringLiteral("file._patch_"));
        }
        return QString();
    }

private slots:
    void init()
    {
        m_Dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_Dir->isValid());
    }

    void dirCreateRecordsEachLevelTopDown()
    {
        QVERIFY(QDir().mkpath(path(QStringLiteral("a"))));
        RollbackDataList records;
        DirCreateTaskSpecification task(path(QStringLiteral("a/b/c")), &records, nullptr, 1.0);
        task.execute();
        QCOMPARE(task.state(), int(STATE_FINISHED));
        QVERIFY(QFileInfo(path(QStringLiteral("a/b/c"))).isDir());
        QCOMPARE(records.size(), 2);
        QCOMPARE(records.records().at(0).path(), path(QStringLiteral("a/b")));
        QCOMPARE(records.records().at(1).path(), path(QStringLiteral("a/b/c")));
        QVERIFY(records.rollback(nullptr));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("a/b"))));
        QVERIFY(QFileInfo::exists(path(QStringLiteral("a"))));
    }

    void dirCreateFailures_data()
    {
        QTest::addColumn<QString>("dir");
        QTest::addColumn<QString>("expected");
        QTest::newRow("file in the way") << QStringLiteral("f")
                                         << QStringLiteral("Could not create dir '%1' because it "
                                                           "already exists and is not a dir");
        QTest::newRow("file in the way of a parent")
            << QStringLiteral("f/sub") << QStringLiteral("unable to create dir %1");
        QTest::newRow("relative name")
            << QStringLiteral("#relative") << QStringLiteral("Could not create dir %1");
        QTest::newRow("not allowed")
            << QStringLiteral("ro/sub") << QStringLiteral("unable to create dir %1");
    }

    void dirCreateFailures()
    {
        QFETCH(QString, dir);
        QFETCH(QString, expected);
        writeFile(path(QStringLiteral("f")), "x");
        QDir().mkdir(path(QStringLiteral("ro")));
        setMode(path(QStringLiteral("ro")), 0500);
        if (dir.startsWith(QLatin1String("ro")) && geteuid() == 0)
            QSKIP("root may write into a read-only directory");
        const QString full = dir.startsWith(QLatin1Char('#')) ? dir.mid(1) : path(dir);
        RollbackDataList records;
        DirCreateTaskSpecification task(full, &records, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();
        QCOMPARE(task.state(), int(STATE_FAILED));
        QCOMPARE(messageTexts(messages), QStringList {expected.arg(full)});
        QVERIFY(records.isEmpty());
    }

    void deleteEntries_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("recursive");
        QTest::addColumn<bool>("failOnError");
        QTest::addColumn<bool>("gone");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("state");
        QTest::newRow("file") << "d/file" << false << false << true << "Deleted file '%1'"
                              << int(STATE_FINISHED);
        QTest::newRow("missing") << "nothing" << false << false << true << ""
                                 << int(STATE_FINISHED);
        QTest::newRow("missing, fail on error")
            << "nothing" << false << true << true << "Could not delete '%1'" << int(STATE_FAILED);
        QTest::newRow("empty dir and empty parents")
            << "e/f/g" << false << false << true << "Deleted directory '%1'" << int(STATE_FINISHED);
        QTest::newRow("full dir, not recursive")
            << "d" << false << false << false << "" << int(STATE_FINISHED);
        QTest::newRow("full dir, recursive")
            << "d" << true << false << true << "Recursively deleted directory '%1'"
            << int(STATE_FINISHED);
        QTest::newRow("link to a dir, recursive")
            << "link" << true << false << true << "Deleted file '%1'" << int(STATE_FINISHED);
    }

    void deleteEntries()
    {
        QFETCH(QString, target);
        QFETCH(bool, recursive);
        QFETCH(bool, failOnError);
        QFETCH(bool, gone);
        QFETCH(QString, expected);
        QFETCH(int, state);
        writeFile(path(QStringLiteral("d/file")), "x");
        writeFile(path(QStringLiteral("d/sub/file")), "y");
        QDir().mkpath(path(QStringLiteral("e/f/g")));
        writeFile(path(QStringLiteral("outside/keep")), "keep");
        QFile::link(path(QStringLiteral("outside")), path(QStringLiteral("link")));
        FileDeleteTaskSpecification task(failOnError, path(target), recursive, nullptr, 1.0);
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();
        QCOMPARE(task.state(), state);
        QCOMPARE(messageTexts(messages),
            expected.isEmpty() ? QStringList() : QStringList {expected.arg(path(target))});
        QCOMPARE(!QFileInfo(path(target)).exists() && !QFileInfo(path(target)).isSymLink(), gone);
        // A link is removed as a link; what it points to stays.
        QCOMPARE(readFile(path(QStringLiteral("outside/keep"))), QByteArray("keep"));
        if (target.startsWith(QLatin1String("e/")))
            QVERIFY(!QFileInfo::exists(path(QStringLiteral("e"))));
    }

    void deleteListDeletesRelativeToInstallation()
    {
        Configuration config;
        config.m_InstallDir = path(QStringLiteral("install"));
        writeFile(path(QStringLiteral("install/a")), "a");
        writeFile(path(QStringLiteral("install/dir/b")), "b");
        writeFile(path(QStringLiteral("a")), "not in the installation");
        const DeleteList list {{QStringLiteral("a"), false}, {QStringLiteral("dir"), true},
            {QStringLiteral("missing"), false}, {QStringLiteral("dir2"), false}};
        FileDeleteListTaskSpecification task(&list, &config, nullptr, 0.05);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QVERIFY(runTask(&task));
        QCOMPARE(task.state(), int(STATE_FINISHED));
        QCOMPARE(messageTexts(messages).value(0), QStringLiteral("Starting deleting files"));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("install/a"))));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("install/dir"))));
        QCOMPARE(readFile(path(QStringLiteral("a"))), QByteArray("not in the installation"));
        QCOMPARE(task.progress(), 0.05);
        QVERIFY(!QFileInfo::exists(DeleteJournal::journalPath(config.m_InstallDir)));
    }

    // A run killed among its deletions: the next run's repair completes
    // them, and only them.
    void interruptedDeletionsAreCompleted()
    {
        const QString install = path(QStringLiteral("install"));
        writeFile(path(QStringLiteral("install/a")), "a");
        writeFile(path(QStringLiteral("install/dir/b")), "b");
        writeFile(path(QStringLiteral("install/kept")), "kept");
        writeFile(path(QStringLiteral("outside")), "outside");
        const DeleteList list {{QStringLiteral("a"), false}, {QStringLiteral("dir"), true},
            {QStringLiteral("../outside"), false}, {QStringLiteral("gone"), false}};
        QVERIFY(DeleteJournal::write(install, list));
        // What killed rewrites of the journals left beside them.
        const QStringList beside {JournalLine::besidePath(DeleteJournal::journalPath(install)),
            JournalLine::besidePath(ReplaceJournal::journalPath(install))};
        for (const QString& file : beside)
            writeFile(file, "F kept\n");
        QVERIFY(ReplaceJournal::recover(install));
        for (const QString& file : beside)
            QVERIFY2(!QFileInfo::exists(file), qPrintable(file));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("install/a"))));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("install/dir"))));
        QCOMPARE(readFile(path(QStringLiteral("install/kept"))), QByteArray("kept"));
        QCOMPARE(readFile(path(QStringLiteral("outside"))), QByteArray("outside"));
        QVERIFY(!QFileInfo::exists(DeleteJournal::journalPath(install)));
    }

    // Deletions follow a successful replacement only; while a replacement
    // is still to be undone, the deletions of a later phase are not made.
    void deletionsWaitForAnUndoneReplacement()
    {
        const QString install = path(QStringLiteral("install"));
        writeFile(path(QStringLiteral("install/a")), "a");
        writeFile(ReplaceJournal::journalPath(install), "");
        QVERIFY(DeleteJournal::write(install, {{QStringLiteral("a"), false}}));
        QVERIFY(ReplaceJournal::recover(install));
        QCOMPARE(readFile(path(QStringLiteral("install/a"))), QByteArray("a"));
        QVERIFY(ReplaceJournal::recover(install));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("install/a"))));
    }

    // The deletions come after the replacement is permanent: a journal that
    // cannot be written (here a directory holds its name) is worth a warning,
    // not a failure over the new release.
    void deleteListGoesOnWithoutItsJournal()
    {
        Configuration config;
        config.m_InstallDir = path(QStringLiteral("install"));
        writeFile(path(QStringLiteral("install/a")), "a");
        const QString journal = DeleteJournal::journalPath(config.m_InstallDir);
        writeFile(journal + QStringLiteral("/in_the_way"), "x");
        const DeleteList list {{QStringLiteral("a"), false}};
        FileDeleteListTaskSpecification task(&list, &config, nullptr, 0.05);
        QSignalSpy messages(&task, &TaskSpecification::message);
        QVERIFY(runTask(&task));
        QCOMPARE(task.state(), int(STATE_FINISHED));
        QVERIFY(messageTexts(messages).contains(
            QStringLiteral("warning: could not write %1").arg(journal)));
        QVERIFY(!QFileInfo::exists(JournalLine::besidePath(journal)));
        QVERIFY(!QFileInfo::exists(path(QStringLiteral("install/a"))));
    }

    // A canceled deletion phase keeps its journal: the next run completes
    // the deletions.
    void canceledDeletionsKeepTheirJournal()
    {
        Configuration config;
        config.m_InstallDir = path(QStringLiteral("install"));
        const DeleteList list {{QStringLiteral("a"), false}, {QStringLiteral("b c%41"), false},
            {QStringLiteral("dir"), true}};
        writeFile(path(QStringLiteral("install/a")), "a");
        writeFile(path(QStringLiteral("install/b c%41")), "b");
        writeFile(path(QStringLiteral("install/dir/d")), "d");
        writeFile(path(QStringLiteral("install/kept")), "kept");
        FileDeleteListTaskSpecification task(&list, &config, nullptr, 0.05);
        connect(&task, &TaskSpecification::message, &task, [&task](const QString& text) {
            if (text.startsWith(QLatin1String("Deleted")))
                task.cancel();
        });
        QVERIFY(runTask(&task));
        QCOMPARE(task.state(), int(STATE_CANCELED));
        QVERIFY(QFileInfo::exists(DeleteJournal::journalPath(config.m_InstallDir)));
        QVERIFY(QFileInfo::exists(path(QStringLiteral("install/dir/d"))));
        QVERIFY(ReplaceJournal::recover(config.m_InstallDir));
        QCOMPARE(QDir(config.m_InstallDir)
                     .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
            QStringList {QStringLiteral("kept")});
    }

    void emptyDeleteListFinishesAtOnce()
    {
        Configuration config;
        const DeleteList list;
        FileDeleteListTaskSpecification task(&list, &config, nullptr, 0.05);
        QSignalSpy messages(&task, &TaskSpecification::message);
        task.execute();
        QCOMPARE(task.state(), int(STATE_FINISHED));
        QCOMPARE(messageTexts(messages), QStringList {QStringLiteral("Starting deleting files")});
    }

    void renameRecordsAndUndoes()
    {
        writeFile(path(QStringLiteral("a")), "content");
        RollbackDataList records;
        FileRenameTaskSpecification task(
            path(QStringLiteral("a")), path(QStringLiteral("new/b")), &records, nullptr, 1.0);
        task.execute();
        QCOMPARE(task.state(), int(STATE_FINISHED));
        QCOMPARE(readFile(path(QStringLiteral("new/b"))), QByteArray("content"));
        QCOMPARE(records.size(), 1);
        QCOMPARE(records.records().at(0).op(), int(FILE_RENAME));
        QVERIFY(records.rollback(nullptr));
        QCOMPARE(readFile(path(QStringLiteral("a"))), QByteArray("content"));

        FileRenameTaskSpecification missing(
            path(QStringLiteral("gone")), path(QStringLiteral("c")), &records, nullptr, 1.0);
        QSignalSpy messages(&missing, &TaskSpecification::message);
        missing.execute();
        QCOMPARE(missing.state(), int(STATE_FAILED));
        QCOMPARE(messageTexts(messages),
            QStringList {QStringLiteral("Could not rename '%1' to '%2'")
                             .arg(path(QStringLiteral("gone")), path(QStringLiteral("c")))});
        QVERIFY(records.isEmpty());
    }

    // Every writer: the output is the content, one FILE_CREATE record with a
    // list and none without, and an existing destination is replaced.
    void writersProduceTheContent_data()
    {
        QTest::addColumn<int>("writer");
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("withRecords");
        QTest::addColumn<int>("link");
        for (int writer : {Copy, Lzma2, Gzip, Patch}) {
            const char* names[] = {"copy", "lzma2", "gzip", "patch"};
            QTest::addRow("%s", names[writer]) << writer << 300000 << true << int(NoLink);
            QTest::addRow("%s, no records", names[writer])
                << writer << 5000 << false << int(NoLink);
            QTest::addRow("%s, over a link", names[writer]) << writer << 5000 << true << int(Link);
            QTest::addRow("%s, over a dangling link", names[writer])
                << writer << 5000 << true << int(DanglingLink);
        }
        QTest::newRow("gzip, empty stream") << int(Gzip) << 0 << true << int(NoLink);
        QTest::newRow("copy, empty file") << int(Copy) << 0 << true << int(NoLink);
    }

    void writersProduceTheContent()
    {
        QFETCH(int, writer);
        QFETCH(int, size);
        QFETCH(bool, withRecords);
        QFETCH(int, link);
        const bool overLink = link != NoLink;
        const QByteArray content = releaseBytes(size, 2);
        const QString source = makeSource(Writer(writer), content);
        const QString destination = path(QStringLiteral("out/dest"));
        // A link at the destination is replaced, not written through.
        const QString linked = path(QStringLiteral("linked"));
        if (link != DanglingLink)
            writeFile(overLink ? linked : destination, "previous content");
        if (overLink)
            QVERIFY(QDir().mkpath(path(QStringLiteral("out"))) && QFile::link(linked, destination));
        RollbackDataList records;
        std::unique_ptr<SlowFileOpSpecification> task(
            makeWriter(Writer(writer), withRecords ? &records : nullptr, source, destination));
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QVERIFY(runTask(task.get()));
        QCOMPARE(task->state(), int(STATE_FINISHED));
        QVERIFY(messages.isEmpty());
        QVERIFY(readFile(destination) == content);
        QVERIFY(!QFileInfo(destination).isSymLink());
        if (link == Link)
            QCOMPARE(readFile(linked), QByteArray("previous content"));
        if (link == DanglingLink)
            QVERIFY(!QFileInfo(linked).exists());
        QCOMPARE(records.size(), withRecords ? 1 : 0);
        if (withRecords) {
            QCOMPARE(records.records().at(0).op(), int(FILE_CREATE));
            QCOMPARE(records.records().at(0).path(), destination);
        }
    }

    // Bad input: the failure text names both paths, no record is made, no
    // partial output is left, and an existing destination survives where
    // the writer promises it (container and patch).
    void writersFailCleanly_data()
    {
        QTest::addColumn<int>("writer");
        QTest::addColumn<QString>("damage");
        QTest::addColumn<bool>("destinationKept");
        // The destination goes only once the source is known to be readable.
        QTest::newRow("copy, missing source") << int(Copy) << "missing" << true;
        QTest::newRow("copy, source is a dir") << int(Copy) << "dir" << true;
        QTest::newRow("lzma2, missing source") << int(Lzma2) << "missing" << true;
        QTest::newRow("lzma2, corrupt") << int(Lzma2) << "corrupt" << true;
        QTest::newRow("lzma2, cut short") << int(Lzma2) << "truncate" << true;
        QTest::newRow("lzma2, plain file") << int(Lzma2) << "garbage" << true;
        QTest::newRow("gzip, missing source") << int(Gzip) << "missing" << false;
        QTest::newRow("gzip, corrupt") << int(Gzip) << "corrupt" << false;
        QTest::newRow("gzip, cut short") << int(Gzip) << "truncate" << false;
        QTest::newRow("gzip, not gzip") << int(Gzip) << "garbage" << false;
        QTest::newRow("patch, missing patch") << int(Patch) << "missing" << true;
        QTest::newRow("patch, corrupt") << int(Patch) << "corrupt" << true;
        QTest::newRow("patch, cut short") << int(Patch) << "truncate" << true;
        QTest::newRow("patch, not a patch") << int(Patch) << "garbage" << true;
        QTest::newRow("patch, wrong old file") << int(Patch) << "old" << true;
    }

    void writersFailCleanly()
    {
        QFETCH(int, writer);
        QFETCH(QString, damage);
        QFETCH(bool, destinationKept);
        const QByteArray content = releaseBytes(200000, 3);
        const QString source = makeSource(Writer(writer), content);
        QByteArray packed = readFile(source);
        if (damage == QLatin1String("missing"))
            QFile::remove(source);
        else if (damage == QLatin1String("dir"))
            QFile::remove(source), QDir().mkdir(source);
        else if (damage == QLatin1String("corrupt"))
            packed[packed.size() / 2] = char(packed[packed.size() / 2] ^ 0x55),
                                   writeFile(source, packed);
        else if (damage == QLatin1String("truncate"))
            writeFile(source, packed.left(packed.size() * 2 / 3));
        else if (damage == QLatin1String("garbage"))
            writeFile(source, releaseBytes(5000, 9));
        else if (damage == QLatin1String("old"))
            writeFile(path(QStringLiteral("old")), releaseBytes(5000, 4));
        const QString destination = path(QStringLiteral("dest"));
        writeFile(destination, "previous content");
        RollbackDataList records;
        std::unique_ptr<SlowFileOpSpecification> task(
            makeWriter(Writer(writer), &records, source, destination));
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QVERIFY(runTask(task.get()));
        QCOMPARE(task->state(), int(STATE_FAILED));
        const QStringList texts = messageTexts(messages);
        QCOMPARE(texts.size(), 1);
        QVERIFY2(texts.at(0).contains(
                     QStringLiteral("'%1' to '%2'")
                         .arg(writer == Patch ? path(QStringLiteral("old")) : source, destination)),
            qPrintable(texts.at(0)));
        QVERIFY(records.isEmpty());
        if (destinationKept)
            QCOMPARE(readFile(destination), QByteArray("previous content"));
        else
            QVERIFY(!QFileInfo::exists(destination));
        // Nothing half-written lies beside the destination either.
        QCOMPARE(
            QDir(m_Dir->path()).entryList({QStringLiteral("dest*")}, QDir::Files | QDir::Hidden),
            destinationKept ? QStringList {QStringLiteral("dest")} : QStringList());
    }

    void writersFailOnAFullDisk_data()
    {
        QTest::addColumn<int>("writer");
        QTest::newRow("copy") << int(Copy);
        QTest::newRow("lzma2") << int(Lzma2);
        QTest::newRow("gzip") << int(Gzip);
        QTest::newRow("patch") << int(Patch);
    }

    void writersFailOnAFullDisk()
    {
        QFETCH(int, writer);
        SmallTmpfs disk(path(QStringLiteral("disk")), 256);
        if (!disk.mounted())
            QSKIP("cannot mount a tmpfs here");
        const QByteArray content = releaseBytes(1 << 20, 5);
        const QString source = makeSource(Writer(writer), content);
        const QString kept = path(QStringLiteral("disk/kept"));
        QVERIFY(writeFile(kept, "kept"));
        const QString destination = path(QStringLiteral("disk/dest"));
        RollbackDataList records;
        std::unique_ptr<SlowFileOpSpecification> task(
            makeWriter(Writer(writer), &records, source, destination));
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QVERIFY(runTask(task.get()));
        QCOMPARE(task->state(), int(STATE_FAILED));
        QCOMPARE(messages.count(), 1);
        QVERIFY(records.isEmpty());
        QCOMPARE(QDir(path(QStringLiteral("disk"))).entryList(QDir::Files | QDir::Hidden),
            QStringList {QStringLiteral("kept")});
        QCOMPARE(readFile(kept), QByteArray("kept"));
    }
};

QTEST_GUILESS_MAIN(TestFileTasks)
#include "tst_filetasks.moc"
