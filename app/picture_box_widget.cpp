#include "app/picture_box_widget.h"

#include <QMouseEvent>
#include <QPainter>

namespace bitlay::app {

PictureBoxWidget::PictureBoxWidget(picture::PictureBox& model, QWidget* parent)
    : QFrame(parent), model_(model) {
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(2);
    // The surface covers the whole client area, so nothing underneath needs painting.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void PictureBoxWidget::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    QPainter painter(this);
    painter.drawImage(contentsRect().topLeft(), model_.surface());
}

void PictureBoxWidget::mousePressEvent(QMouseEvent* event) {
    const QPoint inside = event->position().toPoint() - contentsRect().topLeft();
    // The frame is no part of the box's client area: presses on it report nothing.
    if (!mouseDown_ || inside.x() < 0 || inside.y() < 0 ||
        inside.x() >= model_.clientWidthPixels() || inside.y() >= model_.clientHeightPixels()) {
        QFrame::mousePressEvent(event);
        return;
    }
    std::int16_t button = 0;
    switch (event->button()) {
        case Qt::LeftButton:
            button = 1;
            break;
        case Qt::RightButton:
            button = 2;
            break;
        case Qt::MiddleButton:
            button = 4;
            break;
        default:
            QFrame::mousePressEvent(event);
            return;
    }
    const Qt::KeyboardModifiers modifiers = event->modifiers();
    const std::int16_t shift = (modifiers & Qt::ShiftModifier ? 1 : 0) |
                               (modifiers & Qt::ControlModifier ? 2 : 0) |
                               (modifiers & Qt::AltModifier ? 4 : 0);
    mouseDown_(button, shift, model_.logicalXOfColumn(inside.x()),
               model_.logicalYOfRow(inside.y()));
}

}  // namespace bitlay::app
