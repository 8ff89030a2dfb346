#include "downloadreplacelists.h"
#include "filecopytaskspecification.h"
#include "filereplacelisttaskspecification.h"
#include "filetaskstesthelpers.h"
#include "makedownloadreplacelisttaskspecification.h"
#include "updateinidata.h"

#include <QTemporaryDir>

#include <memory>

// Stage one on a real updater installation: from the installation and a
// product ini, with the changed files already fetched, the compiler and the
// self-update build the complete new updater in the temporary directory,
// check every restored file, and leave the installation alone.
class TestSelfUpdate : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_Root;
    QString m_Install;
    QString m_Temp;
    Configuration m_Config;
    // Release 2 of the updater: installed path to content.
    QMap<QString, QByteArray> m_Release;
    QByteArray m_Ini;

    QString appPath(const QString& name) const
    {
        return Configuration::getAppDir() + QLatin1Char('/') + name;
    }

    static QString line(const QByteArray& fetched)
    {
        return sha512Of(fetched) + QStringLiteral("::") + QString::number(fetched.size());
    }

    void addFile(const QString& path, const QByteArray& oldContent, const QByteArray& newContent)
    {
        if (!oldContent.isNull())
            QVERIFY(writeFile(m_Install + QLatin1Char('/') + path, oldContent));
        m_Release.insert(path, newContent);
    }

    // A file fetched whole (2 fields) or packed (5 fields).
    void iniLine(const QString& key, const QByteArray& fetched, const QString& target = QString())
    {
        QVERIFY(writeFile(m_Temp + QLatin1Char('/') + key, fetched));
        QString text = key + QLatin1Char('=') + line(fetched);
        if (!target.isEmpty()) {
            const QByteArray& installed = m_Release.value(target);
            text += QStringLiteral("::") + line(installed) + QStringLiteral("::") + target;
        }
        m_Ini += text.toUtf8() + '\n';
    }

    bool compile(DownloadReplaceLists* lists)
    {
        writeFile(m_Temp + QStringLiteral("/update_linux_x86.ini"), "[updater]\n" + m_Ini);
        MakeDownloadReplaceListTaskSpecification task(&m_Config, lists, nullptr, 0.05);
        return runTask(&task) && task.state() == STATE_FINISHED;
    }

private slots:
    void initTestCase() { ::umask(022); }

    void init()
    {
        m_Root = std::make_unique<QTemporaryDir>();
        QVERIFY(m_Root->isValid());
        m_Install = m_Root->filePath(QStringLiteral("install"));
        // The update's temporary directory as the updater makes it: a
        // session file names only such a directory.
        qputenv("TMPDIR", QFile::encodeName(m_Root->path()));
        {
            Configuration maker;
            QVERIFY(maker.createTempDir());
            m_Temp = maker.m_TempDir;
        }
        m_Config.m_ClientUpdate = 0;
        m_Config.m_InstallDir = m_Install;
        m_Config.m_TempDir = m_Temp;
        m_Release.clear();
        m_Ini.clear();
        QFile::remove(UpdateIniData::getIniPath());
        QDir(appPath(QStringLiteral("translations"))).removeRecursively();

        const QString plain = m_Root->filePath(QStringLiteral("plain"));
        // Current: copied over by the compiler.
        addFile(QStringLiteral("libQt5Core.so.5"), releaseBytes(50000, 1, 1),
            releaseBytes(50000, 1, 1));
        iniLine(QStringLiteral("libQt5Core.so.5"), releaseBytes(50000, 1, 1));
        QFile::remove(m_Temp + QStringLiteral("/libQt5Core.so.5"));
        // Changed, shipped as a container.
        addFile(QStringLiteral("update"), releaseBytes(80000, 1, 2), releaseBytes(81000, 2, 2));
        QVERIFY(writeFile(plain, m_Release.value(QStringLiteral("update"))));
        QVERIFY(packFile(plain, m_Root->filePath(QStringLiteral("packed"))));
        iniLine(QStringLiteral("update._lzma2_"),
            readFile(m_Root->filePath(QStringLiteral("packed"))), QStringLiteral("update"));
        // Changed, shipped as a patch (and whole, which is not fetched).
        addFile(QStringLiteral("libQt5Gui.so.5"), releaseBytes(200000, 1, 3),
            releaseBytes(201000, 2, 3));
        QVERIFY(writeFile(plain, m_Release.value(QStringLiteral("libQt5Gui.so.5"))));
        const QString patch = m_Temp + QStringLiteral("/libQt5Gui.so.5._patch_");
        QVERIFY(makePatch(m_Install + QStringLiteral("/libQt5Gui.so.5"), plain, patch));
        const QByteArray oldGui = readFile(m_Install + QStringLiteral("/libQt5Gui.so.5"));
        m_Ini += (QStringLiteral("libQt5Gui.so.5._patch_=") + line(readFile(patch))
            + QStringLiteral("::") + line(oldGui) + QStringLiteral("::libQt5Gui.so.5\n"))
                     .toUtf8();
        m_Ini += (QStringLiteral("libQt5Gui.so.5.gz=") + line("not fetched") + QStringLiteral("::")
            + line(m_Release.value(QStringLiteral("libQt5Gui.so.5")))
            + QStringLiteral("::libQt5Gui.so.5\n"))
                     .toUtf8();
        // New, shipped gzip-packed.
        addFile(
            QStringLiteral("imageformats/libqjpeg.so"), QByteArray(), releaseBytes(30000, 2, 4));
        QVERIFY(gzipFile(m_Root->filePath(QStringLiteral("packed.gz")),
            m_Release.value(QStringLiteral("imageformats/libqjpeg.so"))));
        iniLine(QStringLiteral("libqjpeg.so.gz"),
            readFile(m_Root->filePath(QStringLiteral("packed.gz"))),
            QStringLiteral("imageformats/libqjpeg.so"));
        // New, fetched whole under its final name.
        addFile(QStringLiteral("error_report"), QByteArray(), "#!/bin/sh\n");
        iniLine(QStringLiteral("error_report"), "#!/bin/sh\n");
    }

    void cleanup()
    {
        qunsetenv("TMPDIR");
        QFile::remove(UpdateIniData::getIniPath());
        QDir(appPath(QStringLiteral("translations"))).removeRecursively();
    }

    void buildsTheCompleteNewUpdater()
    {
        const QMap<QString, QString> installedBefore = snapshot(m_Install);
        writeFile(appPath(QStringLiteral("translations/update_de.qm")), "de");
        writeFile(appPath(QStringLiteral("translations/update_fr.qm")), "fr");
        writeFile(appPath(QStringLiteral("translations/qt_de.qm")), "qt");
        writeFile(m_Temp + QStringLiteral("/translations/update_fr.qm"), "already there");

        DownloadReplaceLists lists;
        QVERIFY(compile(&lists));
        QVERIFY(lists.downloadList.isEmpty());
        UpdateSelfUnzipTaskSpecification phase(&lists.replaceList, &m_Config, nullptr, 0.4);
        QSignalSpy messages(&phase, &TaskSpecification::message);
        QVERIFY(runTask(&phase));
        QCOMPARE(phase.state(), int(STATE_FINISHED));
        QVERIFY(messageTexts(messages).contains(QStringLiteral("Patching libQt5Gui.so.5")));
        for (auto it = m_Release.cbegin(); it != m_Release.cend(); ++it)
            QVERIFY2(
                readFile(m_Temp + QLatin1Char('/') + it.key()) == it.value(), qPrintable(it.key()));
        // Runnable by everyone, changeable only by its owner.
        QCOMPARE(modeOf(m_Temp + QStringLiteral("/update")), 0755);
        QCOMPARE(snapshot(m_Install), installedBefore);
        QCOMPARE(readFile(m_Temp + QStringLiteral("/translations/update_de.qm")), QByteArray("de"));
        QCOMPARE(readFile(m_Temp + QStringLiteral("/translations/update_fr.qm")),
            QByteArray("already there"));
        QVERIFY(!QFileInfo::exists(m_Temp + QStringLiteral("/translations/qt_de.qm")));
        QCOMPARE(phase.progress(), 0.4);
    }

    // Nothing unverified is run: a restored file that does not match the
    // signed ini fails the phase and is removed.
    void restoredFileWithTheWrongHashFailsThePhase()
    {
        UpdateIniData::modify(7, m_Temp, m_Install, QStringLiteral("update_linux_x86"));
        DownloadReplaceLists lists;
        QVERIFY(compile(&lists));
        for (ReplaceEntry& entry : lists.replaceList) {
            if (entry.targetPath == QLatin1String("update"))
                entry.hash = sha512Of("something else");
        }
        UpdateSelfUnzipTaskSpecification phase(&lists.replaceList, &m_Config, nullptr, 0.4);
        QSignalSpy messages(&phase, &TaskSpecification::message);
        QVERIFY(runTask(&phase));
        QCOMPARE(phase.state(), int(STATE_FAILED));
        QVERIFY(messageTexts(messages).contains(QStringLiteral("Signature check failed for %1")
                                                    .arg(m_Temp + QStringLiteral("/update"))));
        QVERIFY(!QFileInfo::exists(m_Temp + QStringLiteral("/update")));
        // The session for stage two is written whatever happened.
        QVERIFY(QFileInfo::exists(m_Temp + QStringLiteral("/update.ini")));
    }

    // A fetched file that does not restore, or that restores to more than
    // the installed size the signed ini states (its hash that of the file
    // it restores to), fails the phase; nothing of it is left to run.
    void failedRestoreFailsThePhase_data()
    {
        QTest::addColumn<QString>("target");
        QTest::addColumn<QString>("source");
        QTest::addColumn<bool>("corrupt");
        QTest::addColumn<QString>("failure");
        QTest::newRow("corrupt gzip") << "imageformats/libqjpeg.so"
                                      << "libqjpeg.so.gz" << true << "Could not unzip '%1' to '%2'";
        QTest::newRow("container for a smaller size")
            << "update"
            << "update._lzma2_" << false << "Could not unpack '%1' to '%2'";
        QTest::newRow("patch for a smaller size")
            << "libQt5Gui.so.5"
            << "libQt5Gui.so.5_old" << false << "Could not patch '%1' to '%2'";
    }

    void failedRestoreFailsThePhase()
    {
        QFETCH(QString, target);
        QFETCH(QString, source);
        QFETCH(bool, corrupt);
        QFETCH(QString, failure);
        const QMap<QString, QString> installedBefore = snapshot(m_Install);
        DownloadReplaceLists lists;
        QVERIFY(compile(&lists));
        if (corrupt)
            writeFile(m_Temp + QLatin1Char('/') + source, "not gzip");
        for (ReplaceEntry& entry : lists.replaceList) {
            if (!corrupt && entry.targetPath == target)
                entry.size -= 1;
        }
        UpdateSelfUnzipTaskSpecification phase(&lists.replaceList, &m_Config, nullptr, 0.4);
        QSignalSpy messages(&phase, &TaskSpecification::message);
        QVERIFY(runTask(&phase));
        QCOMPARE(phase.state(), int(STATE_FAILED));
        const QString restored = m_Temp + QLatin1Char('/') + target;
        QVERIFY2(messageTexts(messages).contains(
                     failure.arg(m_Temp + QLatin1Char('/') + source, restored)),
            qPrintable(messageTexts(messages).join(QLatin1Char('\n'))));
        QVERIFY(!QFileInfo::exists(restored));
        QCOMPARE(snapshot(m_Install), installedBefore);
    }

    // The base of a patch is copied on the pool as the file's first step, not
    // on the GUI thread while the phase is set up.
    void patchBaseIsCopiedOnThePool()
    {
        DownloadReplaceLists lists;
        QVERIFY(compile(&lists));
        UpdateSelfUnzipTaskSpecification phase(&lists.replaceList, &m_Config, nullptr, 0.4);
        phase.makeSubtasksAndStart();
        const FileCopyTaskSpecification* copy = nullptr;
        for (TaskSpecification* file : phase.subtasks()) {
            const auto* steps = qobject_cast<ComposedTaskSpecification*>(file);
            if (auto* first = qobject_cast<FileCopyTaskSpecification*>(steps->subtasks().value(0)))
                copy = first;
        }
        QVERIFY(copy);
        QCOMPARE(copy->source(), m_Install + QStringLiteral("/libQt5Gui.so.5"));
        QCOMPARE(copy->destination(), m_Temp + QStringLiteral("/libQt5Gui.so.5_old"));
        QVERIFY(QTest::qWaitFor([&phase] { return phase.state() != STATE_RUNNING; }));
        QCOMPARE(phase.state(), int(STATE_FINISHED));
        QCOMPARE(readFile(m_Temp + QStringLiteral("/libQt5Gui.so.5")),
            m_Release.value(QStringLiteral("libQt5Gui.so.5")));
    }

    void listWithoutTargetPathsFinishesAtOnce()
    {
        ReplaceList list;
        ReplaceEntry entry;
        entry.key = QStringLiteral("error_report");
        list.append(entry);
        UpdateSelfUnzipTaskSpecification phase(&list, &m_Config, nullptr, 0.4);
        phase.execute();
        QCOMPARE(phase.state(), int(STATE_FINISHED));
        QVERIFY(phase.subtasks().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestSelfUpdate)
#include "tst_selfupdate.moc"
