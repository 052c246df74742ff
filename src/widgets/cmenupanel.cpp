#include "widgets/cmenupanel.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QPainter>

#include "widgets/background.h"

#include <algorithm>

namespace {

// A clickable entry under the mouse: a lighter tone of its colour.
QColor HoverColour(const QColor& colour) { return colour.lighter(135); }

// A heading of the menu is read as a heading, not as a button that does nothing.
QAccessibleInterface* MenuHeadingFactory(const QString& className, QObject* object)
{
    auto* item = className == QLatin1String("CMenuItem") ? qobject_cast<CMenuItem*>(object) : nullptr;
    if (item && !item->Entry().Clickable)
        return new QAccessibleWidget(item, QAccessible::Heading, item->text());
    return nullptr;
}

}  // namespace

CMenuItem::CMenuItem(const CMenuEntry& entry, QWidget* parent) : QAbstractButton(parent), m_entry(entry)
{
    static const bool factory = (QAccessible::installFactory(MenuHeadingFactory), true);
    (void)factory;
    setText(entry.Text);
    QFont f = font();
    // Entries of 34-pixel rows read at 16 pixels, the small ones at 12; headings a little
    // smaller than their rows, in bold.
    f.setPixelSize(entry.Clickable ? std::clamp(entry.Height * 47 / 100, 12, 16) : std::min(14, entry.Height - 4));
    f.setBold(!entry.Clickable);
    setFont(f);
    setAccessibleName(entry.Text);
    if (!entry.Tooltip.isEmpty())
        setToolTip(entry.Tooltip);
    if (entry.Clickable) {
        setCursor(Qt::PointingHandCursor);
        setFocusPolicy(Qt::TabFocus);
        setAttribute(Qt::WA_Hover);   // repainted as the mouse comes and goes
        connect(this, &QAbstractButton::clicked, this, [this] { emit Clicked(m_entry.Command); });
    } else {
        setFocusPolicy(Qt::NoFocus);
        setAttribute(Qt::WA_TransparentForMouseEvents);
    }
}

void CMenuItem::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setFont(font());
    // While a job runs the menu takes no clicks, and looks it: its entries fade.
    QColor colour = m_entry.Clickable && underMouse() && isEnabled() ? HoverColour(m_entry.Colour) : m_entry.Colour;
    if (!isEnabled())
        colour.setAlpha(100);
    p.setPen(colour);
    const QRect r = rect().adjusted(0, 0, -2, 0);
    p.drawText(r, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, text());
    if (hasFocus()) {
        // The keyboard's place: a thin line under the entry's text.
        const int width = std::min(r.width(), p.fontMetrics().horizontalAdvance(text()));
        const int y = r.center().y() + p.fontMetrics().height() / 2;
        p.setPen(QPen(m_entry.Colour, 1, Qt::DotLine));
        p.drawLine(0, y, width, y);
    }
}

CMenuPanel::CMenuPanel(QWidget* parent) : QWidget(parent)
{
    setAccessibleName(tr("Steps"));
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void CMenuPanel::SetMenu(const QVector<CMenuEntry>& entries, const QString& picturePattern)
{
    // The old entries go when control returns to the event loop: a click on one of them
    // is what changes the menu.
    for (CMenuItem* item : m_items) {
        item->hide();
        item->deleteLater();
    }
    m_items.clear();
    m_pattern = picturePattern;
    for (const CMenuEntry& entry : entries) {
        auto* item = new CMenuItem(entry, this);
        // Entries start 18 pixels in, in rows as high as the table gives them.
        item->setGeometry(18, entry.Y, width() - 24, entry.Height);
        connect(item, &CMenuItem::Clicked, this, &CMenuPanel::Command);
        item->show();
        m_items.push_back(item);
    }
    ShowPicture(0);
}

const CMenuEntry* CMenuPanel::EntryOf(int command) const
{
    for (const CMenuItem* item : m_items)
        if (item->Entry().Clickable && item->Entry().Command == command)
            return &item->Entry();
    return nullptr;
}

void CMenuPanel::SelectCommand(int command)
{
    if (const CMenuEntry* entry = EntryOf(command))
        ShowPicture(entry->Picture);
}

void CMenuPanel::ShowPicture(int number)
{
    QString file = m_pattern;
    file.replace('#', QString::number(std::max(number, 0)));
    m_background = LoadSkinPicture(file);
    update();
}

void CMenuPanel::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    const QSize picture = m_background.isNull() ? size() : LogicalSize(m_background);
    DrawBackground(p, QRect(QPoint(0, 0), picture), m_background, QColor(0x2b, 0x37, 0x46));
    // A grown window's panel goes on below the picture in the colour of its last row.
    if (height() > picture.height() && !m_background.isNull())
        p.fillRect(QRect(0, picture.height(), width(), height() - picture.height()),
                   m_background.pixelColor(m_background.width() / 2, m_background.height() - 1));
}
