#include "buildconfig.h"
#include "configuration.h"

#include <QFile>
#include <QtTest>

#include "testinifiles.h"

class TestBuiltInBaseUrl : public QObject
{
    Q_OBJECT
private slots:
    void finalSlashIsAdded()
    {
        // This build's address has no final "/"; downloads append the
        // version number to it.
        QVERIFY(!QByteArray(KV_UPDATE_BASE_URL).endsWith('/'));
        QFile::remove(appIniPath());
        qputenv("KV3_CONFIG_DIR", "/nonexistent/kv_test_config/");
        Configuration config;
        config.getUpdateChannel();
        QCOMPARE(config.m_Channel, int(CHANNEL_STABLE));
        QCOMPARE(updateBaseUrl, QStringLiteral(KV_UPDATE_BASE_URL "/"));
    }
};

QTEST_GUILESS_MAIN(TestBuiltInBaseUrl)
#include "tst_builtinbaseurl.moc"
