#include "urlclicklabel.h"

#include "weburl.h"

#include <QDebug>
#include <QDesktopServices>
#include <QUrl>

UrlClickLabel::UrlClickLabel(QWidget* parent)
    : QLabel(parent)
{
}

void UrlClickLabel::setUrl(const QString& url)
{
    m_url = url;
}

void UrlClickLabel::mousePressEvent(QMouseEvent*)
{
    const QUrl url = webUrl(m_url);
    if (url.isEmpty()) {
        if (!m_url.isEmpty())
            qDebug() << "Not opening" << m_url;
        return;
    }
    QDesktopServices::openUrl(url);
}
