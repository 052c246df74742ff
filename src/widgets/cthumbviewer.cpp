#include "widgets/cthumbviewer.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QDateTime>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLocale>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QScrollBar>
#include <QToolTip>
#include <QWindow>

#include <algorithm>
#include <climits>
#include <unordered_map>

#include "app/progresstext.h"
#include "recovery/cthumb.h"
#include "recovery/cthumblist.h"
#include "recovery/thumbnailer.h"

namespace {

const QColor kAntiqueWhite(0xFA, 0xEB, 0xD7);
const QColor kDodgerBlue(0x1E, 0x90, 0xFF);
const QColor kDarkSlateGrey(0x2F, 0x4F, 0x4F);
const QColor kLightGrey(0xD3, 0xD3, 0xD3);
const QColor kAppBlue(0x2F, 0x7D, 0xC8);
const QColor kOutline(0x8A, 0x96, 0xA3);
// The names under the thumbnails: quiet greys, one for a light background, one for a
// dark one (the found list's black).
const QColor kNameOnLight(0x5B, 0x67, 0x75);
const QColor kNameOnDark(0xB4, 0xBC, 0xC6);

constexpr int kSquare = 14;

// A frame of the given thickness lying inside r.
void FrameInside(QPainter& p, const QRect& r, int thickness, const QColor& colour)
{
    if (r.width() <= 2 * thickness || r.height() <= 2 * thickness) {
        p.fillRect(r, colour);
        return;
    }
    p.fillRect(QRect(r.left(), r.top(), r.width(), thickness), colour);
    p.fillRect(QRect(r.left(), r.bottom() - thickness + 1, r.width(), thickness), colour);
    p.fillRect(QRect(r.left(), r.top() + thickness, thickness, r.height() - 2 * thickness), colour);
    p.fillRect(QRect(r.right() - thickness + 1, r.top() + thickness, thickness, r.height() - 2 * thickness), colour);
}

// The three 14 x 14 pictures of a cell. Each sits on its own light rounded square, so it
// reads on the found list's black background as well as on the grid's white one.
QImage SquarePicture()
{
    QImage picture(kSquare, kSquare, QImage::Format_ARGB32_Premultiplied);
    picture.fill(Qt::transparent);
    return picture;
}

QImage KeepPicture(bool set)
{
    QImage picture = SquarePicture();
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF box(1.5, 1.5, 11, 11);
    if (set) {
        p.setPen(QPen(kAppBlue.darker(115), 1));
        p.setBrush(kAppBlue);
        p.drawRoundedRect(box, 2.5, 2.5);
        QPainterPath tick;
        tick.moveTo(4.0, 7.2);
        tick.lineTo(6.2, 9.4);
        tick.lineTo(10.2, 4.8);
        p.setPen(QPen(Qt::white, 1.8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        p.setBrush(Qt::NoBrush);
        p.drawPath(tick);
    } else {
        p.setPen(QPen(kOutline, 1));
        p.setBrush(Qt::white);
        p.drawRoundedRect(box, 2.5, 2.5);
    }
    return picture;
}

QImage OpenPicture()
{
    QImage picture = SquarePicture();
    QPainter p(&picture);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(kOutline, 1));
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(0.5, 0.5, 13, 13), 2.5, 2.5);
    // A magnifier: a lens and its handle.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(kAppBlue, 1.5));
    p.drawEllipse(QPointF(6.0, 6.0), 3.2, 3.2);
    p.setPen(QPen(kAppBlue, 2.0, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(8.4, 8.4), QPointF(11.2, 11.2));
    return picture;
}

QString KindText(const CThumb& thumb)
{
    const QString ext = QString::fromStdString(thumb.GetExtension()).toUpper();
    if (ext.isEmpty())
        return QCoreApplication::translate("CThumbViewer", "File");
    switch (ThumbKindOf(thumb.GetText())) {
    case ThumbKind::Picture:
        return QCoreApplication::translate("CThumbViewer", "%1 picture").arg(ext);
    case ThumbKind::CameraRaw:
        return QCoreApplication::translate("CThumbViewer", "%1 camera raw picture").arg(ext);
    case ThumbKind::Video:
        return QCoreApplication::translate("CThumbViewer", "%1 movie").arg(ext);
    case ThumbKind::Sound:
        return QCoreApplication::translate("CThumbViewer", "%1 sound").arg(ext);
    case ThumbKind::Other:
        break;
    }
    return QCoreApplication::translate("CThumbViewer", "%1 file").arg(ext);
}

QString ShotTimeText(int64_t seconds)
{
    return QLocale().toString(QDateTime::fromSecsSinceEpoch(seconds), QStringLiteral("d MMMM yyyy HH:mm"));
}

// A cell of the grid as assistive technology sees it: an item of the grid's list, named
// like the name under its thumbnail. It reads the grid each time it is asked, so it stays
// true while the list changes; a cell past the laid-out ones is no longer valid.
class ThumbCellAccessible : public QAccessibleInterface, public QAccessibleActionInterface {
public:
    ThumbCellAccessible(CThumbViewer* grid, size_t index) : m_grid(grid), m_nIndex(index) {}

    size_t Index() const { return m_nIndex; }
    const CThumbViewer* Grid() const { return m_grid.data(); }

    bool isValid() const override { return Thumb() != nullptr; }
    QObject* object() const override { return nullptr; }
    QWindow* window() const override { return m_grid ? m_grid->window()->windowHandle() : nullptr; }
    QAccessibleInterface* parent() const override
    {
        return m_grid ? QAccessible::queryAccessibleInterface(m_grid.data()) : nullptr;
    }
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessible::Role role() const override { return QAccessible::ListItem; }
    void setText(QAccessible::Text, const QString&) override {}

    // Two actions, as the mouse and the keyboard have them: the keep mark turned over
    // (toggle, Space) and the file opened (press, Enter).
    void* interface_cast(QAccessible::InterfaceType type) override
    {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this) : nullptr;
    }
    QStringList actionNames() const override { return {toggleAction(), pressAction()}; }
    QString localizedActionDescription(const QString& name) const override
    {
        return name == toggleAction() ? QCoreApplication::translate("CThumbViewer", "Keep or leave this file")
                                      : QCoreApplication::translate("CThumbViewer", "Open this file");
    }
    void doAction(const QString& name) override
    {
        if (!m_grid)
            return;
        if (name == toggleAction())
            m_grid->ToggleKeptAt(m_nIndex);
        else if (name == pressAction())
            m_grid->OpenAt(m_nIndex);
    }
    QStringList keyBindingsForAction(const QString& name) const override
    {
        return {name == toggleAction() ? QStringLiteral("Space") : QStringLiteral("Return")};
    }

    QString text(QAccessible::Text kind) const override
    {
        const CThumb* thumb = Thumb();
        if (!thumb)
            return {};
        if (kind == QAccessible::Name)
            return CThumbViewer::NameOf(*thumb);
        if (kind == QAccessible::Description)
            return CThumbViewer::DetailsOf(*thumb).mid(1).join(QStringLiteral(", "));
        return {};
    }

    QRect rect() const override
    {
        const CThumb* thumb = Thumb();
        if (!thumb)
            return {};
        const QWidget* view = m_grid->viewport();
        const QPoint offset(m_grid->horizontalScrollBar()->value(), m_grid->verticalScrollBar()->value());
        const QRect cell = thumb->GetCellRect().translated(-offset);
        return QRect(view->mapToGlobal(cell.topLeft()), cell.size());
    }

    QAccessible::State state() const override
    {
        QAccessible::State state;
        const CThumb* thumb = Thumb();
        if (!thumb) {
            state.invalid = true;
            return state;
        }
        state.focusable = true;
        state.checkable = true;
        state.checked = thumb->IsKept();
        state.focused = thumb->IsCurrent() && m_grid->hasFocus();
        const QWidget* view = m_grid->viewport();
        state.offscreen = !rect().intersects(QRect(view->mapToGlobal(QPoint(0, 0)), view->size()));
        return state;
    }

private:
    CThumb* Thumb() const
    {
        return m_grid && m_nIndex < m_grid->LaidOut() ? m_grid->List()->GetAt(m_nIndex) : nullptr;
    }

    QPointer<CThumbViewer> m_grid;
    size_t m_nIndex;
};

// The grid as assistive technology sees it: a list of its cells. The cells' interfaces are
// made when first asked for and live as long as the grid's.
class ThumbGridAccessible : public QAccessibleWidget {
public:
    explicit ThumbGridAccessible(CThumbViewer* grid) : QAccessibleWidget(grid, QAccessible::List) {}
    ~ThumbGridAccessible() override
    {
        for (const auto& [index, id] : m_cells)
            QAccessible::deleteAccessibleInterface(id);
    }

    int childCount() const override { return int(std::min<size_t>(Grid()->LaidOut(), INT_MAX)); }

    QAccessibleInterface* child(int index) const override
    {
        if (index < 0 || size_t(index) >= Grid()->LaidOut())
            return nullptr;
        const auto known = m_cells.find(size_t(index));
        if (known != m_cells.end())
            return QAccessible::accessibleInterface(known->second);
        auto* cell = new ThumbCellAccessible(Grid(), size_t(index));
        const QAccessible::Id id = QAccessible::registerAccessibleInterface(cell);
        m_cells.emplace(size_t(index), id);
        return cell;
    }

    int indexOfChild(const QAccessibleInterface* child) const override
    {
        const auto* cell = dynamic_cast<const ThumbCellAccessible*>(child);
        if (!cell || cell->Grid() != Grid() || cell->Index() >= Grid()->LaidOut())
            return -1;
        return int(cell->Index());
    }

    QAccessibleInterface* childAt(int x, int y) const override
    {
        size_t index = 0;
        const QPoint point = Grid()->viewport()->mapFromGlobal(QPoint(x, y));
        if (!Grid()->viewport()->rect().contains(point) || !Grid()->ThumbAt(point, &index))
            return nullptr;
        return child(int(index));
    }

    QAccessibleInterface* focusChild() const override
    {
        size_t index = 0;
        return Grid()->hasFocus() && Grid()->CurrentIndex(&index) ? child(int(index)) : nullptr;
    }

private:
    CThumbViewer* Grid() const { return static_cast<CThumbViewer*>(widget()); }

    mutable std::unordered_map<size_t, QAccessible::Id> m_cells;
};

QAccessibleInterface* ThumbGridFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("CThumbViewer") && object && object->isWidgetType())
        return new ThumbGridAccessible(static_cast<CThumbViewer*>(object));
    return nullptr;
}

}  // namespace

CThumbViewer::CThumbViewer(QWidget* parent)
    : QAbstractScrollArea(parent), m_keepSet(KeepPicture(true)),
      m_keepClear(KeepPicture(false)), m_open(OpenPicture())
{
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(ThumbGridFactory);
        return true;
    }();
    (void)factoryInstalled;
    setAccessibleName(QCoreApplication::translate("CThumbViewer", "Thumbnails"));
    // The names under the thumbnails: small and narrow, so that a camera's 8.3 name fits
    // between the squares.
    m_nameFont = font();
    m_nameFont.setPixelSize(10);
    m_nameFont.setStretch(80);
    setFocusPolicy(Qt::StrongFocus);
    viewport()->setFocusProxy(this);
    viewport()->setMouseTracking(true);
    // Every paint fills what it repaints with the list's background.
    viewport()->setAutoFillBackground(false);
    viewport()->setAttribute(Qt::WA_OpaquePaintEvent);
    SetList(nullptr, true);
}

CThumbViewer::~CThumbViewer()
{
    // After this no worker calls into the grid: SetReadyHandler waits for a call in
    // progress, and the queued calls it posted die with the object.
    m_list->SetReadyHandler({});
    if (m_bOwned)
        delete m_list;
}

void CThumbViewer::SetList(CThumbList* list, bool owned)
{
    if (m_list) {
        m_list->SetReadyHandler({});
        if (m_bOwned && m_list != list)
            delete m_list;
    }
    {
        std::lock_guard guard(m_readyLock);
        m_ready.clear();
    }
    if (!list) {
        list = new CThumbList(CThumbParams::GridList());
        owned = true;
    }
    m_list = list;
    m_bOwned = owned;
    m_list->SetReadyHandler([this](size_t index) {
        std::lock_guard guard(m_readyLock);
        m_ready.push_back(index);
        if (m_bFlushPosted)
            return;
        m_bFlushPosted = true;
        QMetaObject::invokeMethod(this, [this] { FlushReady(); }, Qt::QueuedConnection);
    });
    Relayout();
}

void CThumbViewer::Relayout()
{
    // Counted first: a file added while the cells are placed waits for the next Relayout.
    const size_t count = m_list->GetCount();
    m_list->LayoutGrid(m_nColumns);
    m_nLaidOut = count;
    m_extent = m_list->GetExtent();
    UpdateScrollBars();
    viewport()->update();
}

QRect CThumbViewer::KeepSquare(const QRect& cell)
{
    return QRect(cell.x() + cell.width() - 2 - kSquare, cell.y() + cell.height() - 2 - kSquare, kSquare, kSquare);
}

QRect CThumbViewer::OpenSquare(const QRect& cell)
{
    return QRect(cell.x() + 2, cell.y() + cell.height() - 2 - kSquare, kSquare, kSquare);
}

QRect CThumbViewer::NameRect(const QRect& cell)
{
    const QRect open = OpenSquare(cell);
    const QRect keep = KeepSquare(cell);
    return QRect(QPoint(open.right() + 2, open.top()), QPoint(keep.left() - 2, keep.bottom()));
}

QString CThumbViewer::NameOf(const CThumb& thumb)
{
    const std::string camera = thumb.CameraName();
    return QString::fromStdString(camera.empty() ? thumb.GetFileName() : camera);
}

QStringList CThumbViewer::DetailsOf(const CThumb& thumb)
{
    QStringList lines {NameOf(thumb)};
    if (thumb.ShotTime() != 0)
        lines << ShotTimeText(thumb.ShotTime());
    lines << KindText(thumb) << QString::fromStdString(SizeText(thumb.GetSize()));
    return lines;
}

CThumb* CThumbViewer::ThumbAt(QPoint viewportPoint, size_t* index) const
{
    return CellAt(viewportPoint + ScrollOffset(), index);
}

bool CThumbViewer::CurrentIndex(size_t* index) const
{
    const CThumb* current = m_list->GetCurrent();
    return current && CellAt(current->GetCellRect().topLeft(), index);
}

void CThumbViewer::AnnounceCurrent(size_t index)
{
    if (!QAccessible::isActive() || !hasFocus())
        return;
    QAccessibleEvent event(this, QAccessible::Focus);
    event.setChild(int(std::min<size_t>(index, INT_MAX)));
    QAccessible::updateAccessibility(&event);
}

void CThumbViewer::AnnounceKept(size_t index)
{
    if (!QAccessible::isActive())
        return;
    QAccessible::State changed;
    changed.checked = true;
    QAccessibleStateChangeEvent event(this, changed);
    event.setChild(int(std::min<size_t>(index, INT_MAX)));
    QAccessible::updateAccessibility(&event);
}

QPoint CThumbViewer::ScrollOffset() const
{
    return QPoint(horizontalScrollBar()->value(), verticalScrollBar()->value());
}

void CThumbViewer::UpdateScrollBars()
{
    const QSize view = viewport()->size();
    const CThumbParams params = m_list->GetParams();
    // One wheel notch moves one row: the wheel scrolls wheelScrollLines single steps.
    const int lines = std::max(1, QApplication::wheelScrollLines());
    QScrollBar* h = horizontalScrollBar();
    h->setRange(0, std::max(0, m_extent.width() - view.width()));
    h->setPageStep(std::max(1, view.width()));
    h->setSingleStep(std::max(1, params.CellWidth / lines));
    QScrollBar* v = verticalScrollBar();
    v->setRange(0, std::max(0, m_extent.height() - view.height()));
    v->setPageStep(std::max(1, view.height()));
    v->setSingleStep(std::max(1, params.CellHeight / lines));
}

void CThumbViewer::resizeEvent(QResizeEvent*)
{
    // A wider view takes more columns; the current cell stays in view.
    const int cellWidth = std::max(1, m_list->GetParams().CellWidth);
    const int columns = std::max(MinColumns, viewport()->width() / cellWidth);
    if (columns != m_nColumns) {
        m_nColumns = columns;
        Relayout();
        size_t index = 0;
        if (CurrentIndex(&index))
            MoveCurrentTo(index);
        return;
    }
    UpdateScrollBars();
}

bool CThumbViewer::ToggleKeptAt(size_t index)
{
    CThumb* thumb = index < m_nLaidOut ? m_list->GetAt(index) : nullptr;
    if (!thumb)
        return false;
    thumb->ToggleKept();
    UpdateCell(thumb->GetCellRect());
    AnnounceKept(index);
    emit keepChanged(thumb);
    return true;
}

bool CThumbViewer::OpenAt(size_t index)
{
    CThumb* thumb = index < m_nLaidOut ? m_list->GetAt(index) : nullptr;
    if (!thumb)
        return false;
    MoveCurrentTo(index);
    emit openRequested(thumb);
    return true;
}

void CThumbViewer::scrollContentsBy(int dx, int dy)
{
    // The cells already drawn move; only the uncovered strip is painted.
    viewport()->scroll(dx, dy);
}

CThumb* CThumbViewer::CellAt(QPoint grid, size_t* index) const
{
    const CThumbParams params = m_list->GetParams();
    if (grid.x() < 0 || grid.y() < 0 || params.CellWidth <= 0 || params.CellHeight <= 0)
        return nullptr;
    const int column = grid.x() / params.CellWidth;
    if (column >= m_nColumns)
        return nullptr;
    const size_t k = size_t(grid.y() / params.CellHeight) * size_t(m_nColumns) + size_t(column);
    if (k >= m_nLaidOut)
        return nullptr;
    CThumb* thumb = m_list->GetAt(k);
    if (!thumb || !thumb->CellContains(grid.x(), grid.y()))
        return nullptr;
    if (index)
        *index = k;
    return thumb;
}

void CThumbViewer::UpdateCell(const QRect& cell)
{
    viewport()->update(cell.translated(-ScrollOffset()));
}

void CThumbViewer::paintEvent(QPaintEvent* event)
{
    // Thumbnails are made for the pixels of the screen the grid is on (twice as many on a
    // HiDPI screen); a move to another screen has them made again.
    if (m_list->GetPixelRatio() != std::clamp<qreal>(devicePixelRatioF(), 1.0, 4.0))
        m_list->SetPixelRatio(devicePixelRatioF());
    const CThumbParams params = m_list->GetParams();
    QPainter p(viewport());
    p.fillRect(event->rect(), QColor(QRgb(params.Background)));
    if (m_nLaidOut > 0 && params.CellWidth > 0 && params.CellHeight > 0) {
        // The cells under the region, found by row and column rather than by a walk
        // over the whole list.
        const QPoint offset = ScrollOffset();
        const QRegion region = event->region().translated(offset);
        const QRect dirty = region.boundingRect();
        const int firstRow = std::max(0, dirty.top() / params.CellHeight);
        const int lastRow = std::max(0, dirty.bottom() / params.CellHeight);
        const int firstColumn = std::clamp(dirty.left() / params.CellWidth, 0, m_nColumns - 1);
        const int lastColumn = std::clamp(dirty.right() / params.CellWidth, 0, m_nColumns - 1);
        p.translate(-offset);
        for (int row = firstRow; row <= lastRow; ++row) {
            for (int column = firstColumn; column <= lastColumn; ++column) {
                const size_t k = size_t(row) * m_nColumns + size_t(column);
                if (k >= m_nLaidOut)
                    break;
                CThumb* thumb = m_list->GetAt(k);
                if (!thumb || !region.intersects(thumb->GetCellRect()))
                    continue;
                PaintCell(p, *thumb);
                ++m_nCellsPainted;
            }
        }
    }
    p.end();
    // Asked for after drawing: what is missing now is drawn when the list announces it.
    RequestVisible();
}

void CThumbViewer::PaintCell(QPainter& p, CThumb& thumb) const
{
    const QRect cell = thumb.GetCellRect();
    const QRect inner = thumb.GetInnerRect();
    const QImage bitmap = thumb.GetThumbnail();
    if (!bitmap.isNull())
        p.drawImage(inner.topLeft(), bitmap);

    const QRect picture = thumb.GetPictureRect().translated(inner.topLeft());
    const bool hasPicture = !bitmap.isNull() && !picture.isEmpty();
    if (hasPicture)
        FrameInside(p, picture, 3, kAntiqueWhite);
    if (thumb.IsCurrent()) {
        // A cell without a picture yet still shows where the keyboard stands.
        const QRect around = hasPicture ? picture : inner;
        FrameInside(p, around.adjusted(-2, -2, 2, 2), 2, kDodgerBlue);
    } else if (hasPicture) {
        const QRect shadow = picture.translated(2, 2);
        p.fillRect(QRect(shadow.right() - 1, shadow.top(), 2, shadow.height()), kDarkSlateGrey);
        p.fillRect(QRect(shadow.left(), shadow.bottom() - 1, shadow.width(), 2), kDarkSlateGrey);
    }
    FrameInside(p, cell, 1, kLightGrey);
    // The squares and the name last: a picture's shadow may reach the row they start on.
    p.drawImage(KeepSquare(cell).topLeft(), thumb.IsKept() ? m_keepSet : m_keepClear);
    p.drawImage(OpenSquare(cell).topLeft(), m_open);
    const QRect nameRect = NameRect(cell);
    if (nameRect.width() > 0) {
        const QColor background(QRgb(thumb.GetParams().Background));
        p.setFont(m_nameFont);
        p.setPen(background.lightness() < 128 ? kNameOnDark : kNameOnLight);
        // Elided in the middle: a camera's number and the extension are what tell its
        // files apart.
        const QString name = QFontMetrics(m_nameFont).elidedText(NameOf(thumb), Qt::ElideMiddle, nameRect.width());
        p.drawText(nameRect, Qt::AlignCenter, name);
    }
}

void CThumbViewer::RequestVisible()
{
    const CThumbParams params = m_list->GetParams();
    if (m_nLaidOut == 0 || params.CellHeight <= 0)
        return;
    const int top = verticalScrollBar()->value();
    const int firstRow = std::max(0, top / params.CellHeight - 1);
    const int lastRow = (top + std::max(1, viewport()->height()) - 1) / params.CellHeight + 1;
    const size_t first = size_t(firstRow) * m_nColumns;
    if (first >= m_nLaidOut)
        return;
    const size_t count = std::min(size_t(lastRow - firstRow + 1) * m_nColumns, m_nLaidOut - first);
    m_list->RequestThumbnails(first, count);
}

void CThumbViewer::FlushReady()
{
    std::vector<size_t> ready;
    {
        std::lock_guard guard(m_readyLock);
        ready.swap(m_ready);
        m_bFlushPosted = false;
    }
    const QPoint offset = ScrollOffset();
    const QRect view = viewport()->rect();
    QRegion region;
    for (size_t index : ready) {
        CThumb* thumb = index < m_nLaidOut ? m_list->GetAt(index) : nullptr;
        if (!thumb)
            continue;
        const QRect cell = thumb->GetCellRect().translated(-offset);
        if (cell.intersects(view))
            region += cell;
    }
    if (!region.isEmpty())
        viewport()->update(region);
}

void CThumbViewer::mousePressEvent(QMouseEvent* event)
{
    if (event->button() != Qt::LeftButton) {
        QAbstractScrollArea::mousePressEvent(event);
        return;
    }
    setFocus(Qt::MouseFocusReason);
    const QPoint grid = event->position().toPoint() + ScrollOffset();
    size_t index = 0;
    CThumb* thumb = CellAt(grid, &index);
    if (!thumb)
        return;
    const QRect cell = thumb->GetCellRect();
    if (KeepSquare(cell).contains(grid) || thumb->GetInnerRect().contains(grid)) {
        thumb->ToggleKept();
        UpdateCell(cell);
        AnnounceKept(index);
        emit keepChanged(thumb);
        return;
    }
    CThumb* before = m_list->GetCurrent();
    CThumb* now = m_list->SetCurrentAt(grid.x(), grid.y());
    if (before != now) {
        if (before)
            UpdateCell(before->GetCellRect());
        if (now) {
            UpdateCell(now->GetCellRect());
            AnnounceCurrent(index);
        }
    }
    if (now && OpenSquare(cell).contains(grid))
        emit openRequested(now);
}

void CThumbViewer::mouseDoubleClickEvent(QMouseEvent* event)
{
    // The first press of the double click did what a click does; the second does
    // nothing more (no second toggle of the keep mark, no second opening).
    event->setAccepted(event->button() == Qt::LeftButton);
}

void CThumbViewer::mouseReleaseEvent(QMouseEvent* event)
{
    // The press did the work; the release of the left button is ours too.
    event->setAccepted(event->button() == Qt::LeftButton);
}

void CThumbViewer::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint grid = event->position().toPoint() + ScrollOffset();
    const CThumb* thumb = CellAt(grid);
    bool hot = false;
    if (thumb) {
        const QRect cell = thumb->GetCellRect();
        hot = KeepSquare(cell).contains(grid) || thumb->GetInnerRect().contains(grid)
            || OpenSquare(cell).contains(grid);
    }
    if (hot)
        viewport()->setCursor(Qt::PointingHandCursor);
    else
        viewport()->unsetCursor();
    QAbstractScrollArea::mouseMoveEvent(event);
}

void CThumbViewer::MoveCurrentTo(size_t index)
{
    CThumb* target = m_list->GetAt(index);
    if (!target)
        return;
    const QRect cell = target->GetCellRect();
    CThumb* before = m_list->GetCurrent();
    m_list->SetCurrentAt(cell.center().x(), cell.center().y());
    if (before && before != target)
        UpdateCell(before->GetCellRect());
    UpdateCell(cell);
    if (before != target)
        AnnounceCurrent(index);
    // Into view, by the least scroll.
    QScrollBar* v = verticalScrollBar();
    if (cell.top() < v->value())
        v->setValue(cell.top());
    else if (cell.bottom() >= v->value() + viewport()->height())
        v->setValue(cell.bottom() + 1 - viewport()->height());
    QScrollBar* h = horizontalScrollBar();
    if (cell.left() < h->value())
        h->setValue(cell.left());
    else if (cell.right() >= h->value() + viewport()->width())
        h->setValue(cell.right() + 1 - viewport()->width());
}

void CThumbViewer::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    CThumb* current = m_list->GetCurrent();
    if (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) {
        if (!current)
            return;
        size_t index = 0;
        if (key == Qt::Key_Space && CurrentIndex(&index)) {
            ToggleKeptAt(index);
        } else if (key == Qt::Key_Space) {
            current->ToggleKept();
            UpdateCell(current->GetCellRect());
            emit keepChanged(current);
        } else {
            emit openRequested(current);
        }
        return;
    }
    if (m_nLaidOut == 0 || !(key == Qt::Key_Left || key == Qt::Key_Right || key == Qt::Key_Up || key == Qt::Key_Down
                             || key == Qt::Key_Home || key == Qt::Key_End)) {
        QAbstractScrollArea::keyPressEvent(event);
        return;
    }
    size_t index = 0;
    const size_t columns = size_t(m_nColumns);
    if (current) {
        const QRect cell = current->GetCellRect();
        CellAt(cell.topLeft(), &index);
        const size_t last = m_nLaidOut - 1;
        switch (key) {
        case Qt::Key_Left:
            index = index > 0 ? index - 1 : 0;
            break;
        case Qt::Key_Right:
            index = std::min(index + 1, last);
            break;
        case Qt::Key_Up:
            index = index >= columns ? index - columns : index;
            break;
        case Qt::Key_Down:
            // Into the last row even when it is short.
            index = index + columns <= last ? index + columns : (index / columns < last / columns ? last : index);
            break;
        case Qt::Key_Home:
            index = 0;
            break;
        default:
            index = last;
            break;
        }
    } else if (key == Qt::Key_End) {
        index = m_nLaidOut - 1;
    }
    MoveCurrentTo(index);
}

bool CThumbViewer::viewportEvent(QEvent* event)
{
    if (event->type() != QEvent::ToolTip)
        return QAbstractScrollArea::viewportEvent(event);
    auto* help = static_cast<QHelpEvent*>(event);
    const QPoint offset = ScrollOffset();
    const CThumb* thumb = CellAt(help->pos() + offset);
    if (thumb) {
        QToolTip::showText(help->globalPos(), DetailsOf(*thumb).join(QLatin1Char('\n')), viewport(),
                           thumb->GetCellRect().translated(-offset));
    } else {
        QToolTip::hideText();
        event->ignore();
    }
    return true;
}
