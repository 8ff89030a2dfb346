#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

#include <sys/prctl.h>
#include <unistd.h>

namespace {

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every file below dir, by relative path.
QStringList filesBelow(const QString& dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(dir).relativeFilePath(it.next()));
    files.sort();
    return files;
}

// The script and, through its exit trap, its servers, display and updater
// end with the test, even when the test is killed: otherwise they would hold
// the banner port for every later run. The script leads a process group of
// its own, so that whatever it leaves behind can be ended with it.
class ScriptProcess : public QProcess
{
public:
    ~ScriptProcess() override { stop(); }

    // Ends the script (its trap stops what it started) and then anything
    // left in its process group.
    void stop()
    {
        if (m_Group <= 0)
            return;
        if (state() != QProcess::NotRunning) {
            ::kill(-m_Group, SIGTERM);
            if (!waitForFinished(30000)) {
                ::kill(-m_Group, SIGKILL);
                waitForFinished(10000);
            }
        }
        ::kill(-m_Group, SIGKILL);
        m_Group = 0;
    }

    void start(const QString& program, const QStringList& arguments)
    {
        QProcess::start(program, arguments);
        if (waitForStarted())
            m_Group = pid_t(processId());
    }

protected:
    void setupChildProcess() override
    {
        ::setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        // The test may have ended before the signal was asked for.
        if (::getppid() != m_Parent)
            ::_exit(1);
    }

private:
    const pid_t m_Parent = ::getpid();
    pid_t m_Group = 0;
};

bool near(QRgb pixel, int r, int g, int b, int tolerance)
{
    return qAbs(qRed(pixel) - r) <= tolerance && qAbs(qGreen(pixel) - g) <= tolerance
        && qAbs(qBlue(pixel) - b) <= tolerance;
}

// What a person sees of the window's parts in a picture of it.
struct WindowParts
{
    int bannerPixels = 0; // of the sample banner's background colour
    int barRow = -1; // a row that the progress bar's chunk fills
    int barChunkPixels = 0; // the chunk's width on that row
    int detailsWhitePixels = 0; // the details log's page below the bar
    int detailsTextPixels = 0; // its dark text
};

WindowParts partsOf(const QImage& picture)
{
    WindowParts parts;
    const QImage image = picture.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < image.height(); ++y) {
        int chunk = 0;
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (near(pixel, 200, 20, 110, 45))
                ++parts.bannerPixels;
            // The bar's chunk is the palette's highlight, a clear blue.
            if (qBlue(pixel) > 150 && qBlue(pixel) > qRed(pixel) + 70)
                ++chunk;
        }
        if (chunk > parts.barChunkPixels) {
            parts.barChunkPixels = chunk;
            parts.barRow = y;
        }
    }
    if (parts.barRow < 0)
        return parts;
    for (int y = parts.barRow + 20; y < qMin(image.height(), parts.barRow + 100); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            if (qGray(pixel) >= 250)
                ++parts.detailsWhitePixels;
            else if (qGray(pixel) < 100)
                ++parts.detailsTextPixels;
        }
    }
    return parts;
}

} // namespace

// The README's main job as an end-to-end test: the real updater, built for
// servers on the loopback network, updates a sample installation through
// both stages against nginx (the proxy and channel of the user's update.ini
// beside it), with its window on an Xvfb display, and starts the client.
class TestTwoStageUpdate : public QObject
{
    Q_OBJECT

private slots:
    void bothStagesUpdateTheInstallation()
    {
        QTemporaryDir work(QCoreApplication::applicationDirPath() + QStringLiteral("/run-XXXXXX"));
        QVERIFY(work.isValid());
        ScriptProcess script;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // A display of the script's own, whatever the test runs under.
        env.remove(QStringLiteral("DISPLAY"));
        env.remove(QStringLiteral("QT_QPA_PLATFORM"));
        script.setProcessEnvironment(env);
        script.setProcessChannelMode(QProcess::MergedChannels);
        script.start(QStringLiteral("bash"),
            {QStringLiteral(KV_SOURCE_ROOT "/scripts/sample-update.sh"),
                QStringLiteral(KV_BUILD_ROOT), work.path()});
        QVERIFY(script.state() == QProcess::Running);
        // Sanitizer builds on two cores spend minutes in the release maker.
        const bool ended = script.waitForFinished(590000);
        script.stop();
        const QByteArray output = script.readAll();
        const QList<QByteArray> lines = output.trimmed().split('\n');
        const bool passed
            = ended && script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0;
        // In full (a sanitizer's report among it): Qt Test cuts long
        // failure texts.
        if (!passed)
            qWarning().noquote() << output;
        QVERIFY2(ended, "the script did not end in time; its output is above");
        QVERIFY2(passed, "the script failed; its output is above");
        QVERIFY2(lines.last().startsWith("The installation ")
                && lines.last().contains(" now equals release 2, file by file; screenshots: "),
            lines.last().constData());

        // Checked here again, independently of the script.
        const QString release = work.filePath(QStringLiteral("release2"));
        const QString install = work.filePath(QStringLiteral("install"));
        const QStringList files = filesBelow(release);
        QStringList installed = filesBelow(install);
        QVERIFY(installed.removeOne(QStringLiteral("update.ini")));
        QCOMPARE(installed, files);
        // The user's settings outlive the update; its session does not.
        const QSettings settings(install + QStringLiteral("/update.ini"), QSettings::IniFormat);
        QCOMPARE(settings.childGroups(), (QStringList {"Channel", "update"}));
        QVERIFY(settings.value("Channel/alpha").toString().startsWith("http://127.0.0.1:"));
        QCOMPARE(settings.value("update/proxy"), settings.value("Channel/alpha"));
        QCOMPARE(settings.value("update/streams").toInt(), 3);
        for (const QString& file : files)
            QVERIFY2(readFile(release + QLatin1Char('/') + file)
                    == readFile(install + QLatin1Char('/') + file),
                qPrintable(file));
        QVERIFY(readFile(work.filePath(QStringLiteral("client-started")))
                    .startsWith("Kelvarion sample client release 2, library release 2"));
        QCOMPARE(readFile(work.filePath(QStringLiteral("install-commands.log"))),
            QByteArray("preinstall --stage=pre\npostinstall --stage=post\n"));

        // Each stage's last picture: banner, a full progress bar and the
        // details log with text.
        for (const char* stage : {"stage1", "stage2"}) {
            QImage picture;
            QVERIFY2(picture.load(work.filePath(
                         QStringLiteral("screenshots/%1.png").arg(QLatin1String(stage)))),
                stage);
            const WindowParts parts = partsOf(picture);
            const QByteArray where = QByteArray(stage) + ": banner "
                + QByteArray::number(parts.bannerPixels) + ", bar "
                + QByteArray::number(parts.barChunkPixels) + " at row "
                + QByteArray::number(parts.barRow) + ", details white "
                + QByteArray::number(parts.detailsWhitePixels) + " text "
                + QByteArray::number(parts.detailsTextPixels);
            QVERIFY2(parts.bannerPixels > 468 * 60 / 2, where.constData());
            QVERIFY2(parts.barChunkPixels > 440, where.constData());
            QVERIFY2(parts.detailsWhitePixels > 468 * 40, where.constData());
            QVERIFY2(parts.detailsTextPixels > 300, where.constData());
        }
    }
};

QTEST_GUILESS_MAIN(TestTwoStageUpdate)
#include "tst_twostageupdate.moc"
