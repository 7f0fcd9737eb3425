#include "ui/widgets/picturebutton.h"

#include <QMouseEvent>
#include <QShortcutEvent>
#include <QPainter>

#include <utility>

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

// Qt's own answer to a shortcut is a click 100 ms later, and a second press
// within them is dropped: a tag would then land after characters typed after
// it, or not at all.
bool PictureButton::event(QEvent *event)
{
    if (event->type() == QEvent::Shortcut) {
        const auto *shortcut = static_cast<QShortcutEvent *>(event);
        if (!shortcut->isAmbiguous() && shortcut->key() == this->shortcut()) {
            if (isEnabled())
                click();
            return true;
        }
    }
    return QAbstractButton::event(event);
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
    m_held |= event->button();
    Q_EMIT mouseDown(event->button());
    if (event->button() == Qt::LeftButton)
        QAbstractButton::mousePressEvent(event);
    else
        event->accept(); // keep the release coming to this button
}

void PictureButton::mouseReleaseEvent(QMouseEvent *event)
{
    if (!m_held.testFlag(event->button())) { // reported when the button was disabled
        event->accept();
        return;
    }
    m_held &= ~event->button();
    Q_EMIT mouseUp(event->button());
    if (event->button() == Qt::LeftButton)
        QAbstractButton::mouseReleaseEvent(event);
    else
        event->accept();
}

void PictureButton::changeEvent(QEvent *event)
{
    QAbstractButton::changeEvent(event); // a left button held is no longer down, and clicks nothing
    if (event->type() != QEvent::EnabledChange || isEnabled())
        return;
    const Qt::MouseButtons held = std::exchange(m_held, {});
    for (const Qt::MouseButton button : {Qt::LeftButton, Qt::RightButton, Qt::MiddleButton, Qt::BackButton,
                                         Qt::ForwardButton})
        if (held.testFlag(button))
            Q_EMIT mouseUp(button);
}
