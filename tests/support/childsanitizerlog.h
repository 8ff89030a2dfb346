#ifndef CHILDSANITIZERLOG_H
#define CHILDSANITIZERLOG_H

#include <QProcessEnvironment>
#include <QString>

// Where the sanitizer reports of a test's child processes go. A sanitizer
// writes its report to standard error, which tests capture for other
// purposes, send to a file or cut short, so a child that ended with a report
// (status 66 under the thread sanitizer) said nothing about it. Children
// started with apply()'s environment write each report to a file of their
// own instead (PREFIX.PID, one per process), which takeReports() collects.
class ChildSanitizerLog
{
public:
    // Report files go to dir, which must exist while children run.
    explicit ChildSanitizerLog(const QString& dir);

    // env with each sanitizer's options told to write to the report files;
    // the options it has already (halt_on_error, suppressions) stay.
    QProcessEnvironment apply(QProcessEnvironment env) const;

    // Every report written so far, each under its file's name; empty when
    // there is none. They are printed in full as warnings too (Qt Test cuts
    // long failure texts) and removed, so each is shown once.
    QString takeReports() const;

private:
    QString m_Prefix;
};

#endif
