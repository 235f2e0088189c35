// Writes the application icon into a hicolor icon-theme tree at build time, from
// the very code that paints it in the running program, so the installed icons
// cannot drift from what the tray and the windows show.
//
// usage: glimmerfen_icon_renderer NAME DIR SIZE...
//   DIR/SIZExSIZE/apps/NAME.png for every SIZE, and DIR/scalable/apps/NAME.svg
#include <cstdio>

#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>

#include "ui/AppIcons.h"

namespace {

// Larger bitmaps than this are no icon; it also keeps a typo from allocating gigabytes.
constexpr int kLargestSize = 1024;
// The drawing's own grid: at this size every coordinate is the designed one.
constexpr int kSvgGrid = 32;

bool makeParent(const QString& file) {
    return QDir().mkpath(QFileInfo(file).absolutePath());
}

bool writePng(const QString& file, int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        appicons::paintApplicationIcon(painter, size);
    }
    return makeParent(file) && image.save(file, "PNG");
}

bool writeSvg(const QString& file) {
    if (!makeParent(file)) {
        return false;
    }
    QSvgGenerator generator;
    generator.setFileName(file);
    generator.setSize(QSize(kSvgGrid, kSvgGrid));
    generator.setViewBox(QRect(0, 0, kSvgGrid, kSvgGrid));
    generator.setTitle(QStringLiteral("Glimmerfen"));
    QPainter painter;
    if (!painter.begin(&generator)) {
        return false;
    }
    appicons::paintApplicationIcon(painter, kSvgGrid);
    return painter.end();
}

int fail(const QString& message) {
    std::fprintf(stderr, "glimmerfen_icon_renderer: %s\n", qPrintable(message));
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Runs in the build, where there may be no display.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    const QStringList args = application.arguments().mid(1);
    if (args.size() < 3) {
        return fail(QStringLiteral("usage: glimmerfen_icon_renderer NAME DIR SIZE..."));
    }
    const QString& name = args[0];
    const QDir root(args[1]);
    for (const QString& text : args.mid(2)) {
        bool ok = false;
        const int size = text.toInt(&ok);
        if (!ok || size < 1 || size > kLargestSize) {
            return fail(QStringLiteral("not an icon size: %1").arg(text));
        }
        const QString file = root.filePath(QStringLiteral("%1x%1/apps/%2.png").arg(size).arg(name));
        if (!writePng(file, size)) {
            return fail(QStringLiteral("cannot write %1").arg(file));
        }
    }
    const QString svg = root.filePath(QStringLiteral("scalable/apps/%1.svg").arg(name));
    return writeSvg(svg) ? 0 : fail(QStringLiteral("cannot write %1").arg(svg));
}
