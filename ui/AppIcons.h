#pragma once

#include <QIcon>

class QPainter;

// The program's pictures, painted at run time so that every size is drawn for
// its own pixel grid rather than scaled from one bitmap. Call on the GUI thread.
namespace appicons {

// Frames of the tray icon: an envelope whose glimmer grows from frame 0 (the
// icon at rest) to frame 2.
inline constexpr int kTrayFrames = 3;

QIcon applicationIcon();
// Paints the application icon onto a size x size area of painter's device, as
// applicationIcon() draws each of its pixmaps, so that installed icon files
// match the running program's.
void paintApplicationIcon(QPainter& painter, int size);
// frame is clamped to 0 .. kTrayFrames - 1.
QIcon trayFrame(int frame);

}  // namespace appicons
