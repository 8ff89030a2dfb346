#ifndef UPDATEVERSIONS_H
#define UPDATEVERSIONS_H

#include <QHash>
#include <QMetaType>
#include <QPair>
#include <QString>

// Latest release per update channel: channel name ("stable", "beta",
// "alpha") -> (version number as decimal text, version string). Empty when
// the versions query failed. Travels by value through signals, so main
// registers it with qRegisterMetaType<UpdateVersions>("UpdateVersions").
typedef QHash<QString, QPair<QString, QString>> UpdateVersions;

Q_DECLARE_METATYPE(UpdateVersions)

#endif
