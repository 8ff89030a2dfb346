#include "filefuncpatch.h"

#include "ensemblepatch.h"

#include <QDebug>

FileFuncPatch::FileFuncPatch(
    const QString& source, const QString& patch, const QString& destination, quint64 newSize)
    : SlowFileOpFunc(source, patch, destination)
    , m_NewSize(newSize)
{
}

bool FileFuncPatch::run()
{
    return patchFile(m_Source, m_Patch, m_Destination, m_NewSize);
}

bool patchFile(
    const QString& source, const QString& patch, const QString& destination, quint64 newSize)
{
    const QByteArray oldFile = source.toUtf8();
    const QByteArray patchData = patch.toUtf8();
    const QByteArray newFile = destination.toUtf8();
    const bool ok = ApplyEnsemblePatch(
        oldFile.constData(), patchData.constData(), newFile.constData(), newSize);
    qDebug() << "Patch result" << ok;
    return ok;
}

bool ApplyEnsemblePatch(
    const char* oldFile, const char* patchFile, const char* newFile, quint64 newSize)
{
    static_assert(kPatchedSizeUnknown == kvpatch::kNewSizeUnknown, "one value for no size");
    const kvpatch::Status status
        = kvpatch::ApplyEnsemblePatchFiles(oldFile, patchFile, newFile, newSize);
    qDebug() << "ApplyEnsemblePatch status =" << int(status);
    switch (status) {
    case kvpatch::C_OK:
        return true;
    case kvpatch::C_BAD_ENSEMBLE_MAGIC:
        qDebug() << "Not a kvpatch patch";
        break;
    case kvpatch::C_BAD_ENSEMBLE_VERSION:
        qDebug() << "Wrong version patch";
        break;
    case kvpatch::C_BAD_ENSEMBLE_HEADER:
        qDebug() << "Corrupt patch";
        break;
    case kvpatch::C_STREAM_ERROR:
        qDebug() << "Stream error (likely out of memory or disk space)";
        break;
    case kvpatch::C_DISASSEMBLY_FAILED:
        qDebug() << "Disassembly failed (could be because of memory issues)";
        break;
    default:
        break;
    }
    return false;
}
