#pragma once

#include <QString>

// Writes source as a gzip file at destination (best compression), streaming
// in fixed pieces. False with *error when reading or writing fails.
bool gzipFile(const QString& source, const QString& destination, QString* error);
