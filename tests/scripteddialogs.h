#pragma once
// Dialogs that never block: every box is recorded, prompts take scripted answers.

#include "ui/widgets/dialogs.h"

#include <QList>
#include <QQueue>
#include <QString>
#include <functional>

class ScriptedDialogs : public Dialogs
{
public:
    struct Box
    {
        enum Kind { Message, Prompt, Modal } kind;
        QString text;
        Icon icon = Information;
        QString title;
        QString initial; // prompts: the text filled in
    };

    void message(const QString &text, Icon icon, const QString &title) override;
    QString prompt(const QString &text, const QString &title, const QString &initial) override;
    void showModal(QDialog &window) override;

    QList<Box> boxes;
    // Answers for the next prompts; an empty queue answers as a cancel does.
    QQueue<QString> answers;
    // Runs while a box "is open", to look at the window at that moment.
    std::function<void(const Box &)> whileOpen;
    std::function<void(QDialog &)> whileModal;

    QList<Box> messages() const;
    QStringList messageTexts() const;
};
