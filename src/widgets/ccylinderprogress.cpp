#include "widgets/ccylinderprogress.h"

#include <QCoreApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

namespace {

// A tube's shading: light along its upper third, darker at the edges.
QLinearGradient Tube(const QRectF& r, const QColor& colour)
{
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0.0, colour.darker(125));
    g.setColorAt(0.3, colour.lighter(135));
    g.setColorAt(1.0, colour.darker(140));
    return g;
}

}  // namespace

CCylinderProgress::CCylinderProgress(QWidget* parent) : QProgressBar(parent)
{
    setTextVisible(false);
    setAccessibleName(QCoreApplication::translate("CCylinderProgress", "Progress"));
    setMinimumHeight(18);
}

void CCylinderProgress::SetColours(const QColor& done, const QColor& rest)
{
    m_done = done;
    m_rest = rest;
    update();
}

void CCylinderProgress::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(1, 1, -1, -1);
    const qreal radius = r.height() / 2;
    QPainterPath tube;
    tube.addRoundedRect(r, radius, radius);
    p.setPen(Qt::NoPen);
    p.fillPath(tube, Tube(r, m_rest));
    const qreal span = maximum() > minimum() ? qreal(value() - minimum()) / (maximum() - minimum()) : 0.0;
    if (span > 0) {
        QPainterPath done;
        done.addRoundedRect(QRectF(r.left(), r.top(), std::max(r.height(), r.width() * std::min(span, 1.0)), r.height()),
                            radius, radius);
        p.fillPath(done, Tube(r, m_done));
    }
    p.setPen(QPen(QColor(0, 0, 0, 40), 1));
    p.setBrush(Qt::NoBrush);
    p.drawPath(tube);
}
