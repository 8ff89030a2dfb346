#include "releasewriter.h"

#include "compressedfile.h"
#include "downloadtaskspecification.h"
#include "ensemblepatchmaker.h"
#include "filedigest.h"
#include "gzipwriter.h"
#include "productini.h"
#include "releasesigning.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

QString joinFields(const QStringList& fields)
{
    return fields.join(QStringLiteral("::"));
}

bool hashOf(const QString& path, QString* hash, quint64* size, QString* error)
{
    if (sha512HexOfFile(path, hash) != DigestStatus::Ok) {
        *error = QStringLiteral("cannot read back %1").arg(path);
        return false;
    }
    *size = quint64(QFileInfo(path).size());
    return true;
}

} // namespace

ReleaseWriter::ReleaseWriter(Progress progress)
    : m_Progress(std::move(progress))
{
}

bool ReleaseWriter::write(const ReleaseOptions& options, const ReleasePlan& plan, QString* error)
{
    m_VersionDir.clear();
    m_KeyPath = options.keyPath;
    // Check the key before hours of packing.
    {
        rsa_key key;
        std::string keyError;
        if (!loadReleaseKey(options.keyPath.toStdString(), PK_PRIVATE, &key, &keyError)) {
            *error = QString::fromStdString(keyError);
            return false;
        }
        rsa_free(&key);
    }
    if (!QDir().mkpath(options.outDir)) {
        *error = QStringLiteral("cannot create the output directory %1").arg(options.outDir);
        return false;
    }
    const QString outDir = QFileInfo(options.outDir).absoluteFilePath();
    const QString target = outDir + QLatin1Char('/') + QString::number(options.version);
    if (QFileInfo::exists(target) || QFileInfo(target).isSymLink()) {
        *error = QStringLiteral("%1 already exists; remove it or choose another version number")
                     .arg(target);
        return false;
    }
    QTemporaryDir staging(
        outDir + QStringLiteral("/.kvreleasemaker-%1-XXXXXX").arg(options.version));
    if (!staging.isValid()) {
        *error = QStringLiteral("cannot create a working directory in %1").arg(outDir);
        return false;
    }
    const QString sectionDir = staging.path() + QLatin1Char('/') + options.section;

    QList<Shipped> shipped;
    if (!shipAll(options, plan, sectionDir, &shipped, error))
        return false;
    for (const int stage : {0, 1}) {
        const QString ini = staging.path() + QLatin1Char('/') + productIniFileName(stage);
        m_Progress(QStringLiteral("writing %1").arg(productIniFileName(stage)));
        if (!writeIni(options, plan, shipped, stage, ini, error) || !packAndSign(ini, error))
            return false;
    }
    // The tree is served as it is: readable by the web server whatever user
    // it runs as.
    QFile::setPermissions(staging.path(),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
            | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
            | QFileDevice::ExeOther);
    if (!QDir().rename(staging.path(), target)) {
        *error = QStringLiteral("cannot rename the finished tree to %1").arg(target);
        return false;
    }
    staging.setAutoRemove(false);
    m_VersionDir = target;
    return true;
}

bool ReleaseWriter::shipAll(const ReleaseOptions& options, const ReleasePlan& plan,
    const QString& sectionDir, QList<Shipped>* shipped, QString* error)
{
    const QList<PlannedFile>& files = plan.files();
    std::vector<Shipped> results(size_t(files.size()));
    qint64 totalBytes = 0;
    for (const PlannedFile& file : files)
        totalBytes += file.size;

    std::atomic<int> next {0};
    std::atomic<bool> failed {false};
    std::mutex lock;
    int doneFiles = 0;
    qint64 doneBytes = 0;
    QString firstError;
    auto worker = [&]() {
        for (int i = next++; i < files.size() && !failed; i = next++) {
            const PlannedFile& file = files.at(i);
            QString fileError;
            const bool ok = shipFile(options, file, sectionDir, &results[size_t(i)], &fileError);
            std::lock_guard<std::mutex> guard(lock);
            if (!ok) {
                if (!failed.exchange(true))
                    firstError = fileError;
                return;
            }
            ++doneFiles;
            doneBytes += file.size;
            const int percent = totalBytes > 0 ? int(doneBytes * 100 / totalBytes) : 100;
            const Shipped& result = results[size_t(i)];
            m_Progress(QStringLiteral("[%1%] %2/%3 %4: %5%6")
                           .arg(percent, 3)
                           .arg(doneFiles)
                           .arg(files.size())
                           .arg(file.path, shipFormName(file.form),
                               result.patchKey.isEmpty() ? QString() : QStringLiteral(" + patch")));
        }
    };
    const int jobs = std::max(1, std::min(options.jobs, int(files.size())));
    std::vector<std::thread> threads;
    for (int j = 1; j < jobs; ++j)
        threads.emplace_back(worker);
    worker();
    for (std::thread& thread : threads)
        thread.join();
    if (failed) {
        *error = firstError;
        return false;
    }
    shipped->clear();
    for (const Shipped& result : results)
        shipped->append(result);
    return true;
}

bool ReleaseWriter::shipFile(const ReleaseOptions& options, const PlannedFile& file,
    const QString& sectionDir, Shipped* shipped, QString* error) const
{
    const QString source = QDir(options.newDir).absoluteFilePath(file.path);
    shipped->key = ReleasePlan::shippedKey(file);
    const QString destination = sectionDir + QLatin1Char('/') + shipped->key;
    if (!QDir().mkpath(QFileInfo(destination).path())) {
        *error = QStringLiteral("cannot create the directory of %1").arg(destination);
        return false;
    }
    bool written = false;
    switch (file.form) {
    case ShipForm::Plain:
        written = QFile::copy(source, destination);
        if (!written)
            *error = QStringLiteral("cannot copy %1 to %2").arg(source, destination);
        break;
    case ShipForm::Gzip:
        written = gzipFile(source, destination, error);
        break;
    case ShipForm::Lzma2:
        written = kvpatch::CompressFile(QFile::encodeName(source).toStdString(),
            QFile::encodeName(destination).toStdString(), options.executableAware ? 1 : 0);
        if (!written)
            *error = QStringLiteral("cannot pack %1 into %2").arg(source, destination);
        break;
    }
    if (!written || !hashOf(destination, &shipped->hash, &shipped->size, error))
        return false;

    if (!file.wantsPatch)
        return true;
    const QString patchKey = ReleasePlan::patchKey(file);
    const QString patch = sectionDir + QLatin1Char('/') + patchKey;
    const QString base = QDir(options.oldDir).absoluteFilePath(file.path);
    if (!kvpatchmaker::MakeEnsemblePatchFile(QFile::encodeName(base).toStdString(),
            QFile::encodeName(source).toStdString(), QFile::encodeName(patch).toStdString())) {
        *error = QStringLiteral("cannot make a patch from %1 to %2").arg(base, source);
        return false;
    }
    QString patchHash;
    quint64 patchSize = 0;
    if (!hashOf(patch, &patchHash, &patchSize, error))
        return false;
    // The updater fetches a matching patch instead of the packed file, so a
    // patch that is not smaller would only cost.
    if (patchSize >= shipped->size) {
        QFile::remove(patch);
        return true;
    }
    shipped->patchKey = patchKey;
    shipped->patchHash = patchHash;
    shipped->patchSize = patchSize;
    return true;
}

bool ReleaseWriter::writeIni(const ReleaseOptions& options, const ReleasePlan& plan,
    const QList<Shipped>& shipped, int clientUpdate, const QString& path, QString* error) const
{
    // Written through the same INI reader the updater reads with, so that
    // every key round-trips whatever characters its path holds.
    QSettings ini(path, QSettings::IniFormat);
    const QList<PlannedFile>& files = plan.files();
    const QString prefix = options.section + QLatin1Char('/');
    for (int i = 0; i < files.size(); ++i) {
        const PlannedFile& file = files.at(i);
        const Shipped& result = shipped.at(i);
        if (clientUpdate == 0 && !file.updater)
            continue;
        QStringList fields {result.hash, QString::number(result.size)};
        if (file.form != ShipForm::Plain)
            fields << file.hash << QString::number(file.size) << file.path;
        ini.setValue(prefix + result.key, joinFields(fields));
        if (!result.patchKey.isEmpty()) {
            ini.setValue(prefix + result.patchKey,
                joinFields({result.patchHash, QString::number(result.patchSize), file.oldHash,
                    QString::number(file.oldSize), file.path}));
        }
    }
    // Stage one builds the new updater in the temporary directory and never
    // deletes or runs anything in the installation; the release's commands
    // and deletions are stage two's.
    if (clientUpdate != 0) {
        for (const PlannedDelete& gone : plan.deletes())
            ini.setValue(
                productIniDeleteSection + QLatin1Char('/') + gone.path, gone.isDir ? 2 : 1);
        const QPair<QString, const QList<InstallCommandOption>*> commandSections[]
            = {{productIniPreInstallSection, &options.preInstall},
                {productIniPostInstallSection, &options.postInstall}};
        for (const auto& section : commandSections) {
            // One line per command: a key can appear once in a section, so a
            // command given twice runs once, with the arguments given last.
            for (const InstallCommandOption& command : *section.second) {
                QStringList value {QStringLiteral("linux32")};
                if (!command.args.isEmpty())
                    value << joinFields(command.args);
                ini.setValue(section.first + QLatin1Char('/') + command.command, value);
            }
        }
    }
    ini.sync();
    if (ini.status() != QSettings::NoError) {
        *error = QStringLiteral("cannot write %1").arg(path);
        return false;
    }
    return true;
}

bool ReleaseWriter::packAndSign(const QString& iniPath, QString* error) const
{
    const QString packed = iniPath + QStringLiteral("._lzma2_");
    if (!kvpatch::CompressFile(
            QFile::encodeName(iniPath).toStdString(), QFile::encodeName(packed).toStdString(), 0)) {
        *error = QStringLiteral("cannot pack %1").arg(iniPath);
        return false;
    }
    const qint64 packedSize = QFileInfo(packed).size();
    if (packedSize > DownloadTaskSpecification::kUnknownSizeLimit) {
        *error = QStringLiteral("the packed %1 has %2 bytes; the updater fetches at most %3")
                     .arg(QFileInfo(iniPath).fileName())
                     .arg(packedSize)
                     .arg(DownloadTaskSpecification::kUnknownSizeLimit);
        return false;
    }
    std::string signError;
    if (!signReleaseFile(
            m_KeyPath.toStdString(), QFile::encodeName(iniPath).toStdString(), &signError)) {
        *error = QString::fromStdString(signError);
        return false;
    }
    return true;
}
