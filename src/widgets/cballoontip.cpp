#include "widgets/cballoontip.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QCloseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QRegion>
#include <QStyle>

#include <algorithm>

namespace {

// The arrow's height, the bubble's padding and its widest text line.
constexpr int kArrow = 10;
constexpr int kPadding = 12;
constexpr int kTextWidth = 280;
constexpr int kIcon = 24;

// The bubble with its arrow (its tip arrowX from the left), for a balloon of this size.
QPainterPath BubblePath(int width, int height, qreal arrowX)
{
    QPainterPath path;
    path.addRoundedRect(QRectF(0.5, kArrow + 0.5, width - 1, height - kArrow - 1), 8, 8);
    QPainterPath arrow;
    const qreal x = arrowX;
    arrow.moveTo(x - 8, kArrow + 1);
    arrow.lineTo(x, 0.5);
    arrow.lineTo(x + 8, kArrow + 1);
    arrow.closeSubpath();
    return path.united(arrow);
}

// The texts keep the system's "\r\n" line ends; the painter breaks lines at "\n" alone.
QString Lines(QString text) { return text.replace("\r\n", "\n"); }

QFont TitleFont(const QFont& base)
{
    QFont font = base;
    font.setBold(true);
    return font;
}

// Balloons are alerts to assistive technology: a screen reader speaks one as it appears.
QAccessibleInterface* BalloonAccessible(const QString& className, QObject* object)
{
    if (className == QLatin1String("CBalloonTip") && object && object->isWidgetType())
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::AlertMessage);
    return nullptr;
}

}  // namespace

CBalloonTip* CBalloonTip::Show(QWidget* control, const QString& title, const QString& text, Kind kind)
{
    static const bool factory = (QAccessible::installFactory(BalloonAccessible), true);
    (void)factory;
    auto* balloon = new CBalloonTip(title, text, kind);
    const QPoint tip = control ? control->mapToGlobal(QPoint(control->width() / 2, control->height())) : QPoint();
    QPoint at = tip - QPoint(kPadding + kIcon / 2, 0);
    // A control near the window's right edge: the bubble moves left to stay inside the
    // window, its arrow still on the control.
    if (control) {
        const QWidget* window = control->window();
        const int right = window->mapToGlobal(QPoint(window->width(), 0)).x();
        if (at.x() + balloon->width() > right)
            at.setX(std::max(right - balloon->width(), tip.x() - balloon->width() + kPadding + 8));
    }
    balloon->SetArrow(tip.x() - at.x());
    balloon->move(at);
    balloon->show();
    QAccessibleEvent alert(balloon, QAccessible::Alert);
    QAccessible::updateAccessibility(&alert);
    return balloon;
}

CBalloonTip::CBalloonTip(const QString& title, const QString& text, Kind kind)
    : QWidget(nullptr, Qt::ToolTip | Qt::FramelessWindowHint), m_title(title), m_text(text), m_kind(kind)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setAccessibleName(title);
    setAccessibleDescription(text);
    const QFontMetrics titleMetrics(TitleFont(font()));
    const QRect body = fontMetrics().boundingRect(QRect(0, 0, kTextWidth, 1000), Qt::TextWordWrap, Lines(text));
    const int width = kPadding * 3 + kIcon + std::max(body.width(), titleMetrics.horizontalAdvance(title));
    const int height = kArrow + kPadding * 2 + titleMetrics.height() + 4 + body.height();
    resize(width, height);
    SetArrow(kPadding + kIcon / 2);
    qApp->installEventFilter(this);
}

CBalloonTip::~CBalloonTip() { qApp->removeEventFilter(this); }

bool CBalloonTip::eventFilter(QObject*, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::KeyPress)
        close();
    return false;
}

void CBalloonTip::closeEvent(QCloseEvent* event)
{
    qApp->removeEventFilter(this);
    emit Closed();
    QWidget::closeEvent(event);
}

void CBalloonTip::SetArrow(int x)
{
    m_arrow = std::clamp(x, kPadding, width() - kPadding);
    // Shaped, not only transparent: without a compositor the corners would show black.
    setMask(QRegion(BubblePath(width(), height(), m_arrow).toFillPolygon().toPolygon()));
    update();
}

void CBalloonTip::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QPainterPath path = BubblePath(width(), height(), m_arrow);
    // A warning in amber, news in the program's blue.
    const bool warning = m_kind == Kind::Warning;
    p.setPen(QPen(warning ? QColor(0xc9, 0x9a, 0x2e) : QColor(0x7f, 0xa8, 0xd4), 1));
    p.setBrush(warning ? QColor(0xff, 0xfb, 0xec) : QColor(0xf0, 0xf6, 0xfc));
    p.drawPath(path);
    const QIcon icon = style()->standardIcon(warning ? QStyle::SP_MessageBoxWarning : QStyle::SP_MessageBoxInformation);
    p.drawPixmap(kPadding, kArrow + kPadding, icon.pixmap(kIcon, kIcon));
    const int left = kPadding * 2 + kIcon;
    p.setPen(QColor(0x1d, 0x26, 0x31));
    p.setFont(TitleFont(font()));
    const QFontMetrics titleMetrics(p.font());
    p.drawText(QRect(left, kArrow + kPadding, width() - left - kPadding, titleMetrics.height()), Qt::AlignLeft, m_title);
    p.setFont(font());
    p.drawText(QRect(left, kArrow + kPadding + titleMetrics.height() + 4, kTextWidth, height()), Qt::TextWordWrap,
               Lines(m_text));
}
