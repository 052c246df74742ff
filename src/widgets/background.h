#pragma once
// A skin picture as a widget's background, or a plain colour where the picture is missing
// (the program starts without its splash; the other pictures are checked at start-up).
#include <QColor>
#include <QImage>
#include <QPainter>
#include <QRect>

inline void DrawBackground(QPainter& p, const QRect& area, const QImage& picture, const QColor& fallback)
{
    if (picture.isNull())
        p.fillRect(area, fallback);
    else
        p.drawImage(area, picture);
}
