#pragma once
// A skin picture as a widget's background, or a plain colour where the picture is missing
// (the program starts without its splash; the other pictures are checked at start-up).
#include <QColor>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QRect>

// A skin picture for the screens the program shows on: on a high-density screen (device
// pixel ratio above 1) its "@2x" twin, painted at twice the pixels, when the skin has one.
// Sizes of the result are read with LogicalSize.
inline QImage LoadSkinPicture(const QString& file)
{
    if (qGuiApp && qGuiApp->devicePixelRatio() > 1.0) {
        const QFileInfo info(file);
        QImage twice(info.path() + "/" + info.completeBaseName() + "@2x." + info.suffix());
        if (!twice.isNull()) {
            twice.setDevicePixelRatio(2.0);
            return twice;
        }
    }
    return QImage(file);
}

// A picture's size in the window's coordinates, whatever its pixel density.
inline QSize LogicalSize(const QImage& picture) { return picture.deviceIndependentSize().toSize(); }

// The picture fills the area. In an area wider than the picture, its keepLeft and
// keepRight edges (in window pixels) keep their width and only the middle stretches, so
// that what is drawn at the edges (an icon, a card) keeps its shape.
inline void DrawBackground(QPainter& p, const QRect& area, const QImage& picture, const QColor& fallback,
                           int keepLeft = 0, int keepRight = 0)
{
    if (picture.isNull()) {
        p.fillRect(area, fallback);
        return;
    }
    const QSize logical = LogicalSize(picture);
    if ((keepLeft == 0 && keepRight == 0) || area.width() <= logical.width() || keepLeft + keepRight >= logical.width()) {
        p.drawImage(area, picture);
        return;
    }
    const qreal ratio = picture.devicePixelRatio();
    const auto source = [&](int x, int w) { return QRectF(x * ratio, 0, w * ratio, picture.height()); };
    const int middle = area.width() - keepLeft - keepRight;
    p.drawImage(QRectF(area.left(), area.top(), keepLeft, area.height()), picture, source(0, keepLeft));
    p.drawImage(QRectF(area.left() + keepLeft, area.top(), middle, area.height()), picture,
                source(keepLeft, logical.width() - keepLeft - keepRight));
    p.drawImage(QRectF(area.left() + keepLeft + middle, area.top(), keepRight, area.height()), picture,
                source(logical.width() - keepRight, keepRight));
}
