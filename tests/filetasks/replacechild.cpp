// Runs a replacement phase and kills itself with SIGKILL when the phase
// sends a details-log line that starts with the given text, so that tests
// can check what a killed phase leaves behind.
//   replacechild TEMPDIR INSTALLDIR LISTFILE KILLTEXT
// LISTFILE holds a line per entry: key, target path, patch key, hash and
// installed size, percent-encoded and separated by tabs.

#include "configuration.h"
#include "filereplacelisttaskspecification.h"

#include <QCoreApplication>
#include <QFile>
#include <QUrl>

#include <csignal>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5)
        return 2;
    Configuration config;
    config.m_ClientUpdate = 1;
    config.m_TempDir = args.at(1);
    config.m_InstallDir = args.at(2);
    ReplaceList list;
    QFile listFile(args.at(3));
    if (!listFile.open(QIODevice::ReadOnly))
        return 2;
    for (const QByteArray& line : listFile.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() != 5)
            continue;
        ReplaceEntry entry;
        entry.key = QUrl::fromPercentEncoding(fields.at(0));
        entry.targetPath = QUrl::fromPercentEncoding(fields.at(1));
        entry.patchKey = QUrl::fromPercentEncoding(fields.at(2));
        entry.hash = QUrl::fromPercentEncoding(fields.at(3));
        entry.size = fields.at(4).toULongLong();
        list.append(entry);
    }
    const QString killText = args.at(4);
    FileReplaceListTaskSpecification phase(&list, &config, nullptr, 0.4);
    QObject::connect(&phase, &TaskSpecification::message, [&killText](const QString& text) {
        if (text.startsWith(killText))
            std::raise(SIGKILL);
    });
    QObject::connect(&phase, &TaskSpecification::finished, &app, &QCoreApplication::quit);
    QObject::connect(&phase, &TaskSpecification::canceled, &app, &QCoreApplication::quit);
    phase.execute();
    app.exec();
    return phase.state() == STATE_FINISHED ? 0 : 1;
}
