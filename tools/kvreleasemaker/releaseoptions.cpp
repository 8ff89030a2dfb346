#include "releaseoptions.h"

#include "productini.h"

#include <QCommandLineParser>
#include <QDir>
#include <QThread>

#include <algorithm>

namespace {

bool parseForm(const QString& name, ShipForm* form)
{
    if (name == QLatin1String("plain"))
        *form = ShipForm::Plain;
    else if (name == QLatin1String("gzip"))
        *form = ShipForm::Gzip;
    else if (name == QLatin1String("lzma2"))
        *form = ShipForm::Lzma2;
    else
        return false;
    return true;
}

// COMMAND[::ARG...], the way the product ini joins a command's arguments.
bool parseCommand(const QString& text, InstallCommandOption* command, QString* error)
{
    QStringList fields = splitFields(text);
    command->command = fields.takeFirst();
    command->args = fields;
    if (command->command.isEmpty()) {
        *error = QStringLiteral("an install command needs a program name: \"%1\"").arg(text);
        return false;
    }
    if (!staysInside(command->command) || QDir::cleanPath(command->command) != command->command) {
        *error = QStringLiteral(
            "install command \"%1\" must be a path inside the new release, like bin/setup.sh")
                     .arg(command->command);
        return false;
    }
    return true;
}

bool parseNumber(const QString& text, int low, int high, int* value)
{
    bool ok = false;
    const qlonglong number = text.toLongLong(&ok, 10);
    if (!ok || number < low || number > high)
        return false;
    *value = int(number);
    return true;
}

} // namespace

QString releaseUsage()
{
    return QStringLiteral(
        "usage: kvreleasemaker --new DIR --version N --key PRIVATE_KEY --out DIR [options]\n"
        "\n"
        "Writes the file-server tree of one release into OUT/N: both stages' product inis\n"
        "(packed and signed) and the release's files below OUT/N/SECTION.\n"
        "\n"
        "  --old DIR              the installation this release updates: files it lacks\n"
        "                         get delete lines, changed packed files get patches\n"
        "  --new DIR              the new installation, as it must be after the update\n"
        "  --version N            release version number (0 to 2147483647)\n"
        "  --key FILE             private key the product inis are signed with\n"
        "  --out DIR              file-server root; OUT/N must not exist yet\n"
        "  --updater PATTERN      the updater's own files (wildcards, relative to the\n"
        "                         installation; repeatable; default: update)\n"
        "  --form PATTERN=FORM    how matching files are shipped: plain, gzip or lzma2\n"
        "                         (repeatable, first match wins)\n"
        "  --default-form FORM    form of every other file (default lzma2)\n"
        "  --no-patches           no patches, even with --old\n"
        "  --no-executable-aware  containers hold plain LZMA2 only\n"
        "  --preinstall CMD[::ARG...]   program of the new release run before the files\n"
        "  --postinstall CMD[::ARG...]  are replaced / after (repeatable, in order)\n"
        "  --section NAME         product-ini section and server directory (default client)\n"
        "  --jobs N               files packed at once (default: cores, at most 4)\n"
        "\n"
        "Plain files cannot be patched: the updater applies patches only to files shipped\n"
        "packed. A patch is listed only when it is smaller than the packed file.\n");
}

QString shipFormName(ShipForm form)
{
    switch (form) {
    case ShipForm::Plain:
        return QStringLiteral("plain");
    case ShipForm::Gzip:
        return QStringLiteral("gzip");
    case ShipForm::Lzma2:
        return QStringLiteral("lzma2");
    }
    return QString();
}

bool parseReleaseOptions(const QStringList& arguments, ReleaseOptions* options, QString* error)
{
    error->clear();
    QCommandLineParser parser;
    const QCommandLineOption help(QStringList {QStringLiteral("h"), QStringLiteral("help")});
    const QCommandLineOption oldDir(QStringLiteral("old"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption newDir(QStringLiteral("new"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption version(QStringLiteral("version"), QString(), QStringLiteral("N"));
    const QCommandLineOption key(QStringLiteral("key"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption out(QStringLiteral("out"), QString(), QStringLiteral("DIR"));
    const QCommandLineOption updater(
        QStringLiteral("updater"), QString(), QStringLiteral("PATTERN"));
    const QCommandLineOption form(QStringLiteral("form"), QString(), QStringLiteral("RULE"));
    const QCommandLineOption defaultForm(
        QStringLiteral("default-form"), QString(), QStringLiteral("FORM"));
    const QCommandLineOption noPatches(QStringLiteral("no-patches"));
    const QCommandLineOption noExecutableAware(QStringLiteral("no-executable-aware"));
    const QCommandLineOption preInstall(
        QStringLiteral("preinstall"), QString(), QStringLiteral("CMD"));
    const QCommandLineOption postInstall(
        QStringLiteral("postinstall"), QString(), QStringLiteral("CMD"));
    const QCommandLineOption section(QStringLiteral("section"), QString(), QStringLiteral("NAME"));
    const QCommandLineOption jobs(QStringLiteral("jobs"), QString(), QStringLiteral("N"));
    parser.addOptions({help, oldDir, newDir, version, key, out, updater, form, defaultForm,
        noPatches, noExecutableAware, preInstall, postInstall, section, jobs});
    if (!parser.parse(arguments)) {
        *error = parser.errorText();
        return false;
    }
    if (parser.isSet(help))
        return false;
    if (!parser.positionalArguments().isEmpty()) {
        *error = QStringLiteral("unexpected argument \"%1\"")
                     .arg(parser.positionalArguments().first());
        return false;
    }
    for (const QCommandLineOption* single :
        {&oldDir, &newDir, &version, &key, &out, &defaultForm, &section, &jobs}) {
        if (parser.values(*single).size() > 1) {
            *error = QStringLiteral("--%1 is given more than once").arg(single->names().first());
            return false;
        }
    }
    for (const QCommandLineOption* required : {&newDir, &version, &key, &out}) {
        if (!parser.isSet(*required) || parser.value(*required).isEmpty()) {
            *error = QStringLiteral("--%1 is required").arg(required->names().first());
            return false;
        }
    }

    ReleaseOptions result;
    result.oldDir = parser.value(oldDir);
    result.newDir = parser.value(newDir);
    result.outDir = parser.value(out);
    result.keyPath = parser.value(key);
    if (!parseNumber(parser.value(version), 0, 2147483647, &result.version)) {
        *error = QStringLiteral("--version wants a whole number from 0 to 2147483647, not \"%1\"")
                     .arg(parser.value(version));
        return false;
    }
    if (parser.isSet(section)) {
        result.section = parser.value(section);
        if (result.section.isEmpty() || result.section.contains(QLatin1Char('/'))
            || result.section == productIniDeleteSection
            || result.section == productIniPreInstallSection
            || result.section == productIniPostInstallSection || !staysInside(result.section)) {
            *error = QStringLiteral(
                "--section \"%1\" cannot name a file section: it must be one directory name "
                "other than delete, preinstall and postinstall")
                         .arg(result.section);
            return false;
        }
    }
    result.updaterPatterns = parser.values(updater);
    if (result.updaterPatterns.isEmpty())
        result.updaterPatterns << QStringLiteral("update");
    for (const QString& rule : parser.values(form)) {
        const int eq = rule.lastIndexOf(QLatin1Char('='));
        FormRule parsed;
        if (eq <= 0 || !parseForm(rule.mid(eq + 1), &parsed.form)) {
            *error = QStringLiteral("--form wants PATTERN=plain, PATTERN=gzip or PATTERN=lzma2, "
                                    "not \"%1\"")
                         .arg(rule);
            return false;
        }
        parsed.pattern = rule.left(eq);
        result.formRules << parsed;
    }
    if (parser.isSet(defaultForm) && !parseForm(parser.value(defaultForm), &result.defaultForm)) {
        *error = QStringLiteral("--default-form wants plain, gzip or lzma2, not \"%1\"")
                     .arg(parser.value(defaultForm));
        return false;
    }
    result.patches = !parser.isSet(noPatches);
    result.executableAware = !parser.isSet(noExecutableAware);
    result.jobs = std::min(4, std::max(1, QThread::idealThreadCount()));
    if (parser.isSet(jobs) && !parseNumber(parser.value(jobs), 1, 64, &result.jobs)) {
        *error = QStringLiteral("--jobs wants a number from 1 to 64, not \"%1\"")
                     .arg(parser.value(jobs));
        return false;
    }
    for (const QString& text : parser.values(preInstall)) {
        InstallCommandOption command;
        if (!parseCommand(text, &command, error))
            return false;
        result.preInstall << command;
    }
    for (const QString& text : parser.values(postInstall)) {
        InstallCommandOption command;
        if (!parseCommand(text, &command, error))
            return false;
        result.postInstall << command;
    }
    *options = result;
    return true;
}
