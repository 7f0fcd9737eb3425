#include "scripteddialogs.h"

#include <QDialog>
#include <QStringList>

void ScriptedDialogs::message(const QString &text, Icon icon, const QString &title)
{
    boxes.append({Box::Message, text, icon, title, {}});
    if (whileOpen)
        whileOpen(boxes.last());
}

QString ScriptedDialogs::prompt(const QString &text, const QString &title, const QString &initial)
{
    boxes.append({Box::Prompt, text, Information, title, initial});
    if (whileOpen)
        whileOpen(boxes.last());
    return answers.isEmpty() ? QString() : answers.dequeue();
}

void ScriptedDialogs::showModal(QDialog &window)
{
    boxes.append({Box::Modal, window.windowTitle(), Information, window.windowTitle(), {}});
    if (whileModal)
        whileModal(window);
}

QList<ScriptedDialogs::Box> ScriptedDialogs::messages() const
{
    QList<Box> found;
    for (const Box &box : boxes)
        if (box.kind == Box::Message)
            found.append(box);
    return found;
}

QStringList ScriptedDialogs::messageTexts() const
{
    QStringList texts;
    for (const Box &box : messages())
        texts.append(box.text);
    return texts;
}
