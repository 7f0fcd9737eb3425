#pragma once
// Modal boxes: messages, one-line prompts and modal windows. The program talks
// to this interface; the real one shows Qt dialogs, tests install a scripted one.

#include <QString>

class QDialog;
class QWidget;

class Dialogs
{
public:
    enum Icon { Information, Warning };

    virtual ~Dialogs() = default;

    // A message box with one OK button; its answer is never needed.
    virtual void message(const QString &text, Icon icon, const QString &title) = 0;
    // A one-line prompt; the empty string when cancelled.
    virtual QString prompt(const QString &text, const QString &title, const QString &initial) = 0;
    // Shows the window modally and returns once it is closed.
    virtual void showModal(QDialog &window) = 0;
};

class QtDialogs : public Dialogs
{
public:
    explicit QtDialogs(QWidget *parent = nullptr)
        : m_parent(parent)
    {
    }
    void setParent(QWidget *parent) { m_parent = parent; }

    void message(const QString &text, Icon icon, const QString &title) override;
    QString prompt(const QString &text, const QString &title, const QString &initial) override;
    void showModal(QDialog &window) override;

private:
    QWidget *m_parent;
};
