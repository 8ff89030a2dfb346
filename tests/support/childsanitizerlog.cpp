#include "childsanitizerlog.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const char* const kReportName = "sanitizer-report";

} // namespace

ChildSanitizerLog::ChildSanitizerLog(const QString& dir)
    : m_Prefix(QDir(dir).filePath(QLatin1String(kReportName)))
{
}

QProcessEnvironment ChildSanitizerLog::apply(QProcessEnvironment env) const
{
    // Options are read from left to right, so log_path added last wins over
    // one that is there already; a variable that is not set gets it alone.
    for (const char* name : {"ASAN_OPTIONS", "TSAN_OPTIONS", "UBSAN_OPTIONS"}) {
        const QString variable = QLatin1String(name);
        const QString options = env.value(variable);
        env.insert(variable,
            (options.isEmpty() ? QString() : options + QLatin1Char(':'))
                + QStringLiteral("log_path=") + m_Prefix);
    }
    return env;
}

QString ChildSanitizerLog::takeReports() const
{
    const QFileInfo prefix(m_Prefix);
    QString reports;
    for (const QFileInfo& file :
        QDir(prefix.path())
            .entryInfoList({prefix.fileName() + QStringLiteral(".*")}, QDir::Files, QDir::Name)) {
        QFile report(file.filePath());
        if (!report.open(QIODevice::ReadOnly))
            continue;
        reports += QStringLiteral("--- %1\n").arg(file.filePath())
            + QString::fromLocal8Bit(report.readAll());
        report.remove();
    }
    if (!reports.isEmpty())
        qWarning().noquote() << reports;
    return reports;
}
