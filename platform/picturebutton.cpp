#include "platform/picturebutton.h"

#include <QMouseEvent>
#include <QPainter>

PictureButton::PictureButton(QWidget *parent)
    : QAbstractButton(parent)
{
    setFocusPolicy(Qt::NoFocus);
    setCursor(Qt::PointingHandCursor);
}

void PictureButton::setPicture(const QPixmap &picture)
{
    m_picture = picture;
    update();
}

void PictureButton::setStretch(bool stretch)
{
    m_stretch = stretch;
    update();
}

QSize PictureButton::sizeHint() const
{
    return m_picture.deviceIndependentSize().toSize();
}

void PictureButton::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    if (m_stretch) {
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawPixmap(rect(), m_picture);
    } else {
        painter.drawPixmap(0, 0, m_picture);
    }
}

void PictureButton::mousePressEvent(QMouseEvent *event)
{
    Q_EMIT mouseDown(event->button());
    if (event->button() == Qt::LeftButton)
        QAbstractButton::mousePressEvent(event);
    else
        event->accept(); // keep the release coming to this button
}

void PictureButton::mouseReleaseEvent(QMouseEvent *event)
{
    Q_EMIT mouseUp(event->button());
    if (event->button() == Qt::LeftButton)
        QAbstractButton::mouseReleaseEvent(event);
    else
        event->accept();
}
