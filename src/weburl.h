#ifndef WEBURL_H
#define WEBURL_H

#include <QString>
#include <QUrl>

// The banner's image and click addresses come from an unauthenticated
// datagram (or a cache file any local user can write). Only http and https
// addresses with a host are used: the network manager would also read local
// files and resources, and the desktop would open anything.
bool isWebUrl(const QUrl& url);

// The text parsed tolerantly, or an empty address when it is no web address.
QUrl webUrl(const QString& text);

#endif
