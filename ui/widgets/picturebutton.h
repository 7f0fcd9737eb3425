#pragma once
// A picture used as a button: shows its current picture, reports presses of
// any mouse button, clicks on the left one, and never takes the focus. A
// disabled button gets no mouse events at all; one disabled while a mouse
// button is held on it reports that button's release at once, since the real
// one will never reach it.

#include <QAbstractButton>
#include <QPixmap>

class PictureButton : public QAbstractButton
{
    Q_OBJECT
public:
    explicit PictureButton(QWidget *parent = nullptr);

    void setPicture(const QPixmap &picture);
    QPixmap picture() const { return m_picture; }

    // Stretch the picture over the whole button (the toolbar buttons do).
    void setStretch(bool stretch);

    QSize sizeHint() const override;

Q_SIGNALS:
    void mouseDown(Qt::MouseButton button);
    void mouseUp(Qt::MouseButton button);

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void changeEvent(QEvent *event) override;

private:
    QPixmap m_picture;
    bool m_stretch = false;
    Qt::MouseButtons m_held;
};
