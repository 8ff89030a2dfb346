#ifndef WINDOWTESTHELPERS_H
#define WINDOWTESTHELPERS_H

#include <QAbstractButton>
#include <QApplication>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPushButton>
#include <QTimer>

// What a message box showed before the test answered it.
struct ShownBox
{
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
    QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
};

// Answers every modal message box as a person would: with the next of the
// given buttons, or the box's only or default button when none is left.
class BoxAnswerer : public QObject
{
    Q_OBJECT
public:
    explicit BoxAnswerer(QList<QMessageBox::StandardButton> answers = {})
        : m_Answers(answers)
    {
        connect(&m_Timer, &QTimer::timeout, this, &BoxAnswerer::answer);
        m_Timer.start(10);
    }

    QList<ShownBox> shown;

private slots:
    void answer()
    {
        QMessageBox* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible())
            return;
        ShownBox record;
        record.title = box->windowTitle();
        record.text = box->text();
        record.icon = box->icon();
        record.buttons = box->standardButtons();
        if (box->defaultButton() != nullptr)
            record.defaultButton = box->standardButton(box->defaultButton());
        shown.append(record);
        QMessageBox::StandardButton button = m_Answers.isEmpty()
            ? (record.defaultButton != QMessageBox::NoButton ? record.defaultButton
                                                             : QMessageBox::Ok)
            : m_Answers.takeFirst();
        if (box->button(button) == nullptr)
            button = box->standardButton(box->buttons().first());
        box->button(button)->click();
    }

private:
    QTimer m_Timer;
    QList<QMessageBox::StandardButton> m_Answers;
};

#endif
