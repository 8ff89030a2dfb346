#include "downloadreplacelists.h"
#include "productini.h"

#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

class TestProductIni : public QObject
{
    Q_OBJECT

private slots:
    void fileNamePerStage();
    void osTokens_data();
    void osTokens();
    void patchKeys();
    void fieldsKeepEmptyParts();
    void staysInside_data();
    void staysInside();
    void countsKeysOfAllSections();
    void countOfMissingFileIsZero();
    void replaceEntryPaths();
    void listsClearAndCopy();
};

void TestProductIni::fileNamePerStage()
{
    QCOMPARE(productIniFileName(1), QString("kv3_client_linux_x86.ini"));
    QCOMPARE(productIniFileName(0), QString("update_linux_x86.ini"));
}

void TestProductIni::osTokens_data()
{
    QTest::addColumn<QString>("token");
    QTest::addColumn<int>("number");
    QTest::newRow("win32") << "win32" << 1;
    QTest::newRow("win64") << "Win64" << 2;
    QTest::newRow("linux32") << "linux32" << 3;
    QTest::newRow("LINUX32") << "LINUX32" << 3;
    QTest::newRow("linux64") << "linux64" << 4;
    QTest::newRow("mac") << "MAC" << 5;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("padded") << " linux32" << 0;
    QTest::newRow("other") << "freebsd" << 0;
}

void TestProductIni::osTokens()
{
    QFETCH(QString, token);
    QFETCH(int, number);
    QCOMPARE(osFromName(token), number);
    QCOMPARE(currentOs(), 3);
}

void TestProductIni::patchKeys()
{
    QVERIFY(isPatchKey("bin/update_patch_"));
    QVERIFY(!isPatchKey("bin/update_PATCH_"));
    QVERIFY(!isPatchKey("bin/update_patch_.old"));
}

void TestProductIni::fieldsKeepEmptyParts()
{
    QCOMPARE(splitFields("a::b"), QStringList({"a", "b"}));
    QCOMPARE(splitFields("a::b::"), QStringList({"a", "b", ""}));
    QCOMPARE(splitFields("a::::b"), QStringList({"a", "", "b"}));
    QCOMPARE(splitFields(""), QStringList({""}));
}

void TestProductIni::staysInside_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("inside");
    QTest::newRow("name") << "update" << true;
    QTest::newRow("nested") << "lib/plugins/libx.so" << true;
    QTest::newRow("dot component") << "./lib/x" << true;
    QTest::newRow("dots in name") << "lib/..x/y..z" << true;
    QTest::newRow("double slash") << "lib//x" << true;
    QTest::newRow("absolute") << "/etc/passwd" << false;
    QTest::newRow("parent") << "../x" << false;
    QTest::newRow("parent inside") << "lib/../../x" << false;
    QTest::newRow("trailing parent") << "lib/.." << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("dot") << "." << false;
    QTest::newRow("dot slash") << "./" << false;
}

void TestProductIni::staysInside()
{
    QFETCH(QString, path);
    QFETCH(bool, inside);
    QCOMPARE(::staysInside(path), inside);
}

void TestProductIni::countsKeysOfAllSections()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("p.ini");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[files]\na=1::2\nsub/b=1::2\nb_patch_=1::2::3::4::b\n"
               "[delete]\nold=0\n[preinstall]\nrun.sh=linux32\n[empty]\n");
    file.close();
    QSettings ini(path, QSettings::IniFormat);
    QCOMPARE(countIniKeys(ini), 5);
}

void TestProductIni::countOfMissingFileIsZero()
{
    QSettings ini("/nonexistent/dir/p.ini", QSettings::IniFormat);
    QCOMPARE(countIniKeys(ini), 0);
}

void TestProductIni::replaceEntryPaths()
{
    ReplaceEntry plain;
    plain.key = "bin/update";
    QVERIFY(!plain.hasTargetPath());
    QVERIFY(!plain.hasPatch());
    QCOMPARE(plain.installPath(), QString("bin/update"));
    QCOMPARE(plain.filePath(QString()), QString("bin/update"));
    QCOMPARE(plain.filePath("_old_"), QString("bin/_old_update"));

    ReplaceEntry packed;
    packed.key = "libs.pak._lzma2_";
    packed.targetPath = "libs.pak";
    packed.patchKey = "libs.pak_patch_";
    QVERIFY(packed.hasTargetPath());
    QVERIFY(packed.hasPatch());
    QCOMPARE(packed.installPath(), QString("libs.pak"));
    QCOMPARE(packed.filePath("_old_"), QString("_old_libs.pak"));
}

void TestProductIni::listsClearAndCopy()
{
    DownloadReplaceLists lists;
    lists.downloadList.append(DownloadEntry {"s", "k", "h", 3});
    lists.replaceList.append(ReplaceEntry());
    lists.deleteList.append(DeleteEntry {"old", true});
    lists.preInstallList.append(PrePostInstallCommand("pre.sh", {"a"}));
    lists.postInstallList.append(PrePostInstallCommand("post.sh", {}));
    DownloadReplaceLists copy;
    copy = lists;
    lists.clear();
    QVERIFY(lists.downloadList.isEmpty() && lists.replaceList.isEmpty()
        && lists.deleteList.isEmpty() && lists.preInstallList.isEmpty()
        && lists.postInstallList.isEmpty());
    QCOMPARE(copy.downloadList.size(), 1);
    QCOMPARE(copy.downloadList.at(0).size, quint64(3));
    QCOMPARE(copy.deleteList.at(0).path, QString("old"));
    QCOMPARE(copy.preInstallList.at(0).args, QStringList({"a"}));
    QCOMPARE(copy.postInstallList.at(0).command, QString("post.sh"));
}

QTEST_GUILESS_MAIN(TestProductIni)
#include "tst_productini.moc"
