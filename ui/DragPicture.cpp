#include "ui/DragPicture.h"

#include <QPainter>
#include <QPolygon>

namespace {

constexpr int kEnvelopeWidth = 26;
constexpr int kEnvelopeHeight = 18;
// How far each envelope of the stack sits from the one behind it.
constexpr int kStackStep = 5;

void drawEnvelope(QPainter& painter, QPoint origin) {
    const QRect body(origin, QSize(kEnvelopeWidth, kEnvelopeHeight));
    painter.setPen(QPen(QColor(40, 40, 90), 1));
    painter.setBrush(QColor(250, 246, 226));
    painter.drawRect(body);
    const QPolygon flap(
        {body.topLeft(), QPoint(body.center().x(), body.center().y() + 2), body.topRight()});
    painter.setBrush(Qt::NoBrush);
    painter.drawPolyline(flap);
}

}  // namespace

QPixmap dragPicture(bool several) {
    const int copies = several ? 3 : 1;
    const int offset = (copies - 1) * kStackStep;
    QPixmap picture(kEnvelopeWidth + offset + 1, kEnvelopeHeight + offset + 1);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    // Back to front, so the front envelope is drawn whole.
    for (int copy = copies - 1; copy >= 0; --copy) {
        drawEnvelope(painter, QPoint(copy * kStackStep, offset - copy * kStackStep));
    }
    return picture;
}
