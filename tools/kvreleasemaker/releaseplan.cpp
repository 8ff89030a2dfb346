#include "releaseplan.h"

#include "filedigest.h"
#include "installationscan.h"

#include <QRegularExpression>
#include <QSet>

namespace {

// A shell-style pattern: "*" and "?" stay within one path component. A
// pattern without "/" matches the file name in any directory, one with "/"
// the whole relative path.
class PathPattern
{
public:
    explicit PathPattern(const QString& pattern)
        : m_WholePath(pattern.contains(QLatin1Char('/')))
        , m_Expression(QRegularExpression::wildcardToRegularExpression(pattern))
    {
    }
    bool matches(const QString& path) const
    {
        return m_Expression.match(m_WholePath ? path : path.section(QLatin1Char('/'), -1))
            .hasMatch();
    }

private:
    bool m_WholePath;
    QRegularExpression m_Expression;
};

bool matchesAny(const QList<PathPattern>& patterns, const QString& path)
{
    for (const PathPattern& pattern : patterns) {
        if (pattern.matches(path))
            return true;
    }
    return false;
}

bool hashFile(const QString& path, QString* hash, QString* error)
{
    if (sha512HexOfFile(path, hash) == DigestStatus::Ok)
        return true;
    *error = QStringLiteral("cannot read %1").arg(path);
    return false;
}

// The first path component that is a file in one installation and a
// directory in the other, or an empty text.
QString typeChange(const InstallationScan& from, const InstallationScan& to)
{
    for (auto it = from.files().constBegin(); it != from.files().constEnd(); ++it) {
        if (to.hasDirectory(it.key()))
            return it.key();
    }
    return QString();
}

} // namespace

QString ReleasePlan::shippedKey(const PlannedFile& file)
{
    switch (file.form) {
    case ShipForm::Plain:
        return file.path;
    case ShipForm::Gzip:
        return file.path + QStringLiteral(".gz");
    case ShipForm::Lzma2:
        return file.path + QStringLiteral("._lzma2_");
    }
    return file.path;
}

QString ReleasePlan::patchKey(const PlannedFile& file)
{
    // The base's hash in the name keeps patches from different old releases
    // apart should several be listed for one file.
    return file.path + QLatin1Char('.') + file.oldHash.left(16) + QStringLiteral("._patch_");
}

bool ReleasePlan::build(const ReleaseOptions& options, QString* error, QStringList* warnings,
    const std::function<void(const QString&)>& progress)
{
    m_Files.clear();
    m_Deletes.clear();
    InstallationScan newScan;
    InstallationScan oldScan;
    if (!newScan.scan(options.newDir, error))
        return false;
    if (newScan.files().isEmpty()) {
        *error = QStringLiteral("the new installation %1 holds no file").arg(options.newDir);
        return false;
    }
    if (!options.oldDir.isEmpty() && !oldScan.scan(options.oldDir, error))
        return false;

    QString changed = typeChange(oldScan, newScan);
    if (changed.isEmpty())
        changed = typeChange(newScan, oldScan);
    if (!changed.isEmpty()) {
        *error = QStringLiteral(
            "%1 is a file in one installation and a directory in the other; the updater "
            "writes new files before it deletes old ones, so it cannot turn one into the other")
                     .arg(changed);
        return false;
    }

    QList<PathPattern> updaterPatterns;
    for (const QString& pattern : options.updaterPatterns)
        updaterPatterns << PathPattern(pattern);
    QList<QPair<PathPattern, ShipForm>> formRules;
    for (const FormRule& rule : options.formRules)
        formRules << qMakePair(PathPattern(rule.pattern), rule.form);
    QSet<QString> commandFiles;
    for (const auto* list : {&options.preInstall, &options.postInstall}) {
        for (const InstallCommandOption& command : *list) {
            if (!newScan.hasFile(command.command)) {
                *error = QStringLiteral("install command %1 is not a file of the new installation")
                             .arg(command.command);
                return false;
            }
            commandFiles.insert(command.command);
        }
    }

    // A line every so many bytes hashed, so that a large release shows it
    // is being read.
    constexpr qint64 kProgressBytes = 256LL * 1024 * 1024;
    qint64 hashedBytes = 0;
    qint64 reportedBytes = 0;
    for (auto it = newScan.files().constBegin(); it != newScan.files().constEnd(); ++it) {
        hashedBytes += it.value();
        if (progress && hashedBytes - reportedBytes >= kProgressBytes) {
            reportedBytes = hashedBytes;
            progress(QStringLiteral("reading: %1 of %2 files")
                         .arg(m_Files.size())
                         .arg(newScan.files().size()));
        }
        PlannedFile file;
        file.path = it.key();
        file.size = it.value();
        if (file.path.contains(QLatin1String("::"))) {
            *error = QStringLiteral("%1: \"::\" separates the fields of product-ini lines and "
                                    "cannot be part of a file name")
                         .arg(file.path);
            return false;
        }
        file.form = options.defaultForm;
        for (const auto& rule : formRules) {
            if (rule.first.matches(file.path)) {
                file.form = rule.second;
                break;
            }
        }
        // The container and the patch engine work on mapped files, which
        // cannot be empty: an empty file travels as it is.
        if (file.size == 0 && file.form == ShipForm::Lzma2)
            file.form = ShipForm::Plain;
        // A command runs from the update's temporary directory, which stage
        // one fills with the files of its own ini whether or not they
        // changed; stage two does not fetch current files.
        file.updater = matchesAny(updaterPatterns, file.path) || commandFiles.contains(file.path);
        if (!hashFile(newScan.dir() + QLatin1Char('/') + file.path, &file.hash, error))
            return false;
        if (oldScan.hasFile(file.path)) {
            file.hasOld = true;
            file.oldSize = oldScan.files().value(file.path);
            if (!hashFile(oldScan.dir() + QLatin1Char('/') + file.path, &file.oldHash, error))
                return false;
        }
        file.wantsPatch = options.patches && file.hasOld && file.changed()
            && file.form != ShipForm::Plain && file.size > 0 && file.oldSize > 0;
        if (file.path == QLatin1String("update.ini")) {
            *warnings << QStringLiteral("update.ini is shipped: it would replace the installed "
                                        "channel settings and the unfinished session");
        }
        m_Files << file;
    }

    for (const QString& pattern : options.updaterPatterns) {
        const PathPattern compiled(pattern);
        bool matched = false;
        for (const PlannedFile& file : qAsConst(m_Files))
            matched = matched || compiled.matches(file.path);
        if (!matched)
            *warnings << QStringLiteral("no file of the new installation matches --updater %1")
                             .arg(pattern);
    }
    bool anyUpdaterFile = false;
    for (const PlannedFile& file : qAsConst(m_Files))
        anyUpdaterFile = anyUpdaterFile || file.updater;
    if (!anyUpdaterFile) {
        *error = QStringLiteral("no file of the new installation is the updater's (--updater): "
                                "the first stage fails on a product ini without files");
        return false;
    }

    // Deletions: a directory that is gone as a whole is one recursive line;
    // files under it need none.
    QStringList goneDirs;
    for (const QString& dir : oldScan.directories()) {
        if (!newScan.hasDirectory(dir))
            goneDirs << dir;
    }
    goneDirs.sort();
    auto underGoneDir = [&goneDirs](const QString& path) {
        for (const QString& dir : goneDirs) {
            if (path.startsWith(dir + QLatin1Char('/')))
                return true;
        }
        return false;
    };
    for (const QString& dir : qAsConst(goneDirs)) {
        if (!underGoneDir(dir))
            m_Deletes << PlannedDelete {dir, true};
    }
    for (auto it = oldScan.files().constBegin(); it != oldScan.files().constEnd(); ++it) {
        if (!newScan.hasFile(it.key()) && !underGoneDir(it.key()))
            m_Deletes << PlannedDelete {it.key(), false};
    }
    return checkTemporaryNames(error);
}

bool ReleasePlan::checkTemporaryNames(QString* error) const
{
    // Everything a run puts into the update's temporary directory is named
    // after a key, an installed path, or an installed path with "_old" (the
    // base copy of a patch). Two things under one name would overwrite each
    // other there.
    QHash<QString, QString> owners;
    auto claim = [&owners, error](const QString& name, const QString& owner) {
        const auto found = owners.constFind(name);
        if (found != owners.constEnd() && found.value() != owner) {
            *error = QStringLiteral("%1 and %2 would both use the name %3 in the update's "
                                    "temporary directory; rename one of them")
                         .arg(found.value(), owner, name);
            return false;
        }
        owners.insert(name, owner);
        return true;
    };
    for (const PlannedFile& file : m_Files) {
        if (!claim(file.path, file.path) || !claim(shippedKey(file), file.path))
            return false;
        if (file.wantsPatch
            && (!claim(patchKey(file), file.path)
                || !claim(file.path + QStringLiteral("_old"), file.path)))
            return false;
    }
    // A name that another uses as its directory.
    for (auto it = owners.constBegin(); it != owners.constEnd(); ++it) {
        QString parent = it.key();
        for (int slash = parent.lastIndexOf(QLatin1Char('/')); slash > 0;
             slash = parent.lastIndexOf(QLatin1Char('/'))) {
            parent.truncate(slash);
            const auto found = owners.constFind(parent);
            if (found != owners.constEnd()) {
                *error = QStringLiteral("%1 needs %2 as a directory in the update's temporary "
                                        "directory, where %3 puts a file; rename one of them")
                             .arg(it.value(), parent, found.value());
                return false;
            }
        }
    }
    return true;
}
