#include "ui/AppIcons.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <initializer_list>

#include <QColor>
#include <QPainter>
#include <QPixmap>
#include <QPolygonF>

namespace appicons {

namespace {

// Everything is drawn on a 32 x 32 grid and scaled to the pixmap, with strokes
// of about one pixel at 16 px so that the smallest tray still shows an outline.
constexpr double kGrid = 32.0;

const QColor kPaper(0xfb, 0xf7, 0xea);
const QColor kInk(0x1f, 0x3b, 0x5c);
const QColor kGlimmer(0xff, 0xd2, 0x3f);
const QColor kGlimmerEdge(0xb0, 0x68, 0x00);
const QColor kHalo(0xff, 0xe8, 0x8a, 0xa0);
const QColor kBadge(0x1d, 0x6f, 0x6a);

// The sparkle's size for each tray frame: a glint at rest, a star at full glimmer.
constexpr std::array<double, kTrayFrames> kSparkleRadius = {3.5, 5.5, 7.5};

// Draws on the 32-unit grid; the envelope's outline is snapped to whole pixels
// so that it stays one crisp line at the small tray sizes.
class Canvas {
  public:
    explicit Canvas(QPainter& painter, int size) : m_painter(painter), m_scale(size / kGrid) {}

    QPainter& painter() { return m_painter; }
    double scale() const { return m_scale; }
    double pixels(double units) const { return std::round(units * m_scale); }

  private:
    QPainter& m_painter;
    double m_scale;
};

using Drawing = std::function<void(Canvas&)>;

QPixmap render(int size, const Drawing& draw) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    Canvas canvas(painter, size);
    draw(canvas);
    return pixmap;
}

QIcon iconOf(std::initializer_list<int> sizes, const Drawing& draw) {
    QIcon icon;
    for (const int size : sizes) {
        icon.addPixmap(render(size, draw));
    }
    return icon;
}

// body is in grid units.
void drawEnvelope(Canvas& canvas, const QRectF& body) {
    const double stroke = std::max(1.0, canvas.pixels(2.0));
    // An odd stroke centred on a pixel boundary would smear over two pixels.
    const double offset = std::fmod(stroke, 2.0) == 1.0 ? 0.5 : 0.0;
    const QRectF box(canvas.pixels(body.left()) + offset, canvas.pixels(body.top()) + offset,
                     canvas.pixels(body.width()), canvas.pixels(body.height()));
    QPainter& painter = canvas.painter();
    painter.save();
    painter.resetTransform();
    painter.setPen(QPen(kInk, stroke, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    painter.setBrush(kPaper);
    painter.drawRect(box);
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(kInk, stroke, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const QPointF fold(box.center().x(), box.top() + box.height() * 0.55);
    painter.drawPolyline(QPolygonF({box.topLeft(), fold, box.topRight()}));
    painter.restore();
}

// A four-pointed star with concave sides.
QPolygonF sparkle(const QPointF& centre, double radius) {
    const double waist = radius * 0.3;
    QPolygonF star;
    for (int point = 0; point < 8; ++point) {
        const double angle = point * M_PI / 4.0 - M_PI / 2.0;
        const double reach = point % 2 == 0 ? radius : waist;
        star << centre + QPointF(std::cos(angle) * reach, std::sin(angle) * reach);
    }
    return star;
}

// centre and radius are in grid units.
void drawGlimmer(Canvas& canvas, const QPointF& centre, double radius, bool halo) {
    QPainter& painter = canvas.painter();
    painter.save();
    painter.scale(canvas.scale(), canvas.scale());
    if (halo) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(kHalo);
        painter.drawEllipse(centre, radius * 0.65, radius * 0.65);
    }
    painter.setPen(QPen(kGlimmerEdge, 1.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(kGlimmer);
    painter.drawPolygon(sparkle(centre, radius));
    painter.restore();
}

void drawTrayFrame(Canvas& canvas, int frame) {
    drawEnvelope(canvas, QRectF(2.0, 12.0, 22.0, 16.0));
    drawGlimmer(canvas, QPointF(24.0, 8.5), kSparkleRadius[frame], frame == kTrayFrames - 1);
}

void drawApplication(Canvas& canvas) {
    QPainter& painter = canvas.painter();
    painter.save();
    painter.scale(canvas.scale(), canvas.scale());
    painter.setPen(Qt::NoPen);
    painter.setBrush(kBadge);
    painter.drawRoundedRect(QRectF(0.5, 0.5, 31.0, 31.0), 6.0, 6.0);
    painter.restore();
    drawEnvelope(canvas, QRectF(4.0, 12.0, 22.0, 14.0));
    drawGlimmer(canvas, QPointF(24.0, 9.0), 7.0, true);
}

}  // namespace

QIcon applicationIcon() {
    return iconOf({16, 22, 24, 32, 48, 64, 128, 256}, drawApplication);
}

void paintApplicationIcon(QPainter& painter, int size) {
    painter.setRenderHint(QPainter::Antialiasing);
    Canvas canvas(painter, size);
    drawApplication(canvas);
}

QIcon trayFrame(int frame) {
    frame = std::clamp(frame, 0, kTrayFrames - 1);
    return iconOf({16, 22, 24, 32, 48, 64},
                  [frame](Canvas& canvas) { drawTrayFrame(canvas, frame); });
}

}  // namespace appicons
