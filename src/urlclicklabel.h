#ifndef URLCLICKLABEL_H
#define URLCLICKLABEL_H

#include <QLabel>
#include <QString>

class QMouseEvent;

// A label that opens its address in the desktop's browser when clicked with
// any mouse button. Used for the maker's logo and for the banner, whose
// address comes from the network: only web addresses are opened.
class UrlClickLabel : public QLabel
{
    Q_OBJECT
public:
    explicit UrlClickLabel(QWidget* parent = nullptr);

    void setUrl(const QString& url);
    const QString& url() const { return m_url; }

protected:
    void mousePressEvent(QMouseEvent* event) override;

private:
    QString m_url;
};

#endif
