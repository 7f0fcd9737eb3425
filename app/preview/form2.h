#pragma once
// The preview window: an HTML view and nothing else.

#include <QDialog>

class HtmlView;

class Form2 : public QDialog
{
    Q_OBJECT
public:
    explicit Form2(QWidget *owner = nullptr);

    HtmlView *Web2;
};
