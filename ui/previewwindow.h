#pragma once
// The preview window: an HTML view and nothing else.

#include <QDialog>

class Dialogs;
class HtmlView;

class PreviewWindow : public QDialog
{
    Q_OBJECT
public:
    explicit PreviewWindow(QWidget *owner = nullptr);

    // Shows the page at path, modally through dialogs.
    void showPage(const QString &path, Dialogs &dialogs);

private:
    HtmlView *m_pageView;
};
