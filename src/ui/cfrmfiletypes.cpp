#include "ui/cfrmfiletypes.h"

#include <QAccessible>
#include <QPainter>
#include <QPainterPath>

#include "app/csettings.h"
#include "app/filetypes.h"
#include "ui/pagekit.h"

namespace {

// The group filter of each check list: images take pictures and camera raw files.
constexpr std::array<uint32_t, 3> kFilters = {TypeGroup::Picture | TypeGroup::RawPicture, TypeGroup::Video,
                                              TypeGroup::Sound};
constexpr std::array<const char*, 3> kTitles = {QT_TRANSLATE_NOOP("CFrmFileTypes", "Images:"),
                                                QT_TRANSLATE_NOOP("CFrmFileTypes", "Video:"),
                                                QT_TRANSLATE_NOOP("CFrmFileTypes", "Audio:")};
// Each heading's tooltip, whole, so that a translation words it as its language needs.
constexpr std::array<const char*, 3> kTitleTips = {
    QT_TRANSLATE_NOOP("CFrmFileTypes", "Click to switch the images types on or off"),
    QT_TRANSLATE_NOOP("CFrmFileTypes", "Click to switch the video types on or off"),
    QT_TRANSLATE_NOOP("CFrmFileTypes", "Click to switch the audio types on or off")};
// Control identifiers of the three check lists and their headings.
constexpr std::array<int, 3> kListIds = {1045, 1047, 1052};
constexpr std::array<int, 3> kHeadingIds = {1103, 1104, 1105};
constexpr int kCamerasId = 1044;

// The picture of a category heading: a small glyph in the heading's colour.
QIcon CategoryIcon(int category)
{
    QImage image(18, 18, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(PageColour::CategoryText, 1.6));
    p.setBrush(Qt::NoBrush);
    if (category == CFrmFileTypes::Images) {
        // A photograph: a frame with a mountain and the sun.
        p.drawRoundedRect(QRectF(1.5, 3.5, 15, 11), 2, 2);
        QPainterPath hill;
        hill.moveTo(3, 13);
        hill.lineTo(7.5, 8);
        hill.lineTo(10.5, 11);
        hill.lineTo(12.5, 9);
        hill.lineTo(15, 13);
        p.drawPath(hill);
        p.drawEllipse(QPointF(12.5, 6.5), 1.2, 1.2);
    } else if (category == CFrmFileTypes::Video) {
        // A film camera: a body and a lens cone.
        p.drawRoundedRect(QRectF(1.5, 5, 10, 8), 2, 2);
        QPainterPath cone;
        cone.moveTo(11.5, 8);
        cone.lineTo(16.5, 5.5);
        cone.lineTo(16.5, 12.5);
        cone.lineTo(11.5, 10);
        p.drawPath(cone);
    } else {
        // A note.
        p.drawLine(QPointF(7, 3), QPointF(7, 13));
        p.drawLine(QPointF(7, 3), QPointF(14, 2));
        p.drawLine(QPointF(14, 2), QPointF(14, 11));
        p.setBrush(PageColour::CategoryText);
        p.drawEllipse(QPointF(5, 13.5), 2.2, 1.8);
        p.drawEllipse(QPointF(12, 11.5), 2.2, 1.8);
    }
    return QIcon(QPixmap::fromImage(image));
}

// Sets a type's check mark and its selection; assistive technology hears of a change.
void SetTypeChecked(QListWidget* list, int row, bool checked)
{
    QListWidgetItem* item = list->item(row);
    const bool changed = (item->checkState() == Qt::Checked) != checked;
    const QSignalBlocker block(list);
    item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    item->setSelected(checked);
    if (changed && QAccessible::isActive()) {
        QAccessible::State state;
        state.checked = true;
        QAccessibleStateChangeEvent event(list, state);
        event.setChild(row);
        QAccessible::updateAccessibility(&event);
    }
}

QListWidget* CheckList(const QString& name, QWidget* parent)
{
    auto* list = new QListWidget(parent);
    list->setAccessibleName(name);
    // Selection is the check mark (the page keeps both the same): assistive technology
    // toggles a type through its selection, and a click anywhere on the row turns it over.
    list->setSelectionMode(QAbstractItemView::MultiSelection);
    list->setStyleSheet("QListWidget { border: 1px solid #d9dee4; border-radius: 4px; background: white; }"
                        "QListWidget:disabled { background: #f4f6f8; color: #a9b4bf; }"
                        "QListWidget::item { padding: 2px 2px; }"
                        "QListWidget::item:focus { background: #e8f1fa; }");
    // A selected row looks like any other: its check box says it is chosen.
    QPalette palette = list->palette();
    palette.setColor(QPalette::Highlight, Qt::white);
    palette.setColor(QPalette::HighlightedText, QColor(0x1d, 0x26, 0x31));
    list->setPalette(palette);
    return list;
}

}  // namespace

CFrmFileTypes::CFrmFileTypes(const CPageContext& context, const CStep& step, QWidget* parent)
    : CFrmRoot(context, step, parent), m_cameras(ReportList(tr("Cameras:"), this)),
      m_camerasLabel(FieldLabel(tr("Cameras:"), this)), m_typesLabel(FieldLabel(tr("Media Types:"), this)),
      m_selectAll(PageButton(tr("Select all types"), this))
{
    SetHeading(tr("What file types are you looking to recover?"));
    m_cameras->setSelectionMode(QAbstractItemView::ExtendedSelection);
    // The label above names the list; a column header would say it twice.
    m_cameras->setHeaderHidden(true);
    m_camerasLabel->setBuddy(m_cameras);
    m_selectAll->setToolTip(tr("Check every file type of the selected cameras"));
    connect(m_selectAll, &QPushButton::clicked, this, &CFrmFileTypes::SelectAllTypes);
    AddControl(kCamerasId, m_cameras);
    for (int c = 0; c < 3; ++c) {
        auto* heading = new QToolButton(this);
        heading->setText(tr(kTitles[size_t(c)]));
        heading->setAccessibleName(tr(kTitles[size_t(c)]));
        heading->setToolTip(tr(kTitleTips[size_t(c)]));
        heading->setIcon(CategoryIcon(c));
        heading->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
        heading->setCheckable(true);
        heading->setChecked(true);
        heading->setCursor(Qt::PointingHandCursor);
        heading->setStyleSheet("QToolButton { border: none; background: transparent; color: rgb(0, 0, 200);"
                               " font-weight: bold; padding: 0px; }"
                               "QToolButton:!checked { color: #8a96a3; }"
                               "QToolButton:focus { text-decoration: underline; }");
        connect(heading, &QToolButton::clicked, this, [this, c] { OnHeadingClicked(Category(c)); });
        m_headings[size_t(c)] = heading;
        AddControl(kHeadingIds[size_t(c)], heading);
        m_types[size_t(c)] = CheckList(tr(kTitles[size_t(c)]), this);
        AddControl(kListIds[size_t(c)], m_types[size_t(c)]);
        connect(m_types[size_t(c)], &QListWidget::itemChanged, this, &CFrmFileTypes::OnTypeChanged);
        connect(m_types[size_t(c)], &QListWidget::itemSelectionChanged, this,
                [this, c] { OnTypeSelectionChanged(m_types[size_t(c)]); });
    }
    connect(m_cameras, &QTreeWidget::itemSelectionChanged, this, &CFrmFileTypes::OnBrandsChanged);
    FillLists();
}

void CFrmFileTypes::FillLists()
{
    m_filling = true;
    const QSignalBlocker block(m_cameras);
    m_cameras->clear();
    m_cameras->setHeaderLabels({BrandListTitle});
    for (const BrandListItem& brand : BrandListItems(Document().Settings().Brands)) {
        auto* item = new QTreeWidgetItem(m_cameras, {QString::fromStdString(brand.Name)});
        item->setData(0, Qt::UserRole, qulonglong(brand.Row));
        item->setSelected(brand.Selected);
    }
    m_filling = false;
    FillTypeLists();
    ApplySwitches();
}

void CFrmFileTypes::FillTypeLists()
{
    m_filling = true;
    const SettingsRecord& settings = Document().Settings();
    const uint32_t offered = OfferedTypes(settings.Brands);
    for (size_t c = 0; c < 3; ++c) {
        QListWidget* list = m_types[c];
        const QSignalBlocker block(list);
        list->clear();
        for (const TypeListItem& type : TypeListItems(kFilters[c], offered, settings.FileTypes)) {
            auto* item = new QListWidgetItem(QString::fromStdString(type.Extension), list);
            item->setData(Qt::UserRole, qulonglong(type.Row));
            // Not user-checkable: the row's selection turns the mark over, once per click.
            item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
            item->setCheckState(type.Checked ? Qt::Checked : Qt::Unchecked);
            item->setSelected(type.Checked);
        }
    }
    m_filling = false;
}

void CFrmFileTypes::ApplySwitches()
{
    // Only a brand gives the lists a meaning; with none selected they stay as they are.
    const QList<QTreeWidgetItem*> selected = m_cameras->selectedItems();
    if (selected.isEmpty())
        return;
    for (size_t c = 0; c < 3; ++c) {
        m_types[c]->setEnabled(m_switches[c]);
        const QSignalBlocker block(m_headings[c]);
        m_headings[c]->setChecked(m_switches[c]);
    }
}

uint32_t CFrmFileTypes::SelectedBrands() const
{
    const auto brands = BrandTable();
    uint32_t selectedBrands = 0;
    for (QTreeWidgetItem* item : m_cameras->selectedItems()) {
        const size_t row = item->data(0, Qt::UserRole).toULongLong();
        if (row < brands.size())
            selectedBrands |= brands[row].Bit;
    }
    return selectedBrands;
}

void CFrmFileTypes::ReadBack()
{
    const uint32_t selectedBrands = SelectedBrands();
    const auto table = FileTypeTable();
    uint32_t types = 0;
    for (QListWidget* list : m_types)
        for (int i = 0; i < list->count(); ++i) {
            const size_t row = list->item(i)->data(Qt::UserRole).toULongLong();
            if (list->item(i)->checkState() == Qt::Checked && row < table.size())
                types |= table[row].Bit;
        }
    SettingsRecord& settings = Document().Settings();
    settings.Brands = selectedBrands;
    settings.FileTypes = types;
}

void CFrmFileTypes::OnBrandsChanged()
{
    if (m_filling)
        return;
    Document().Settings().Brands = SelectedBrands();
    FillTypeLists();
    ApplySwitches();
    CloseBalloon();
}

void CFrmFileTypes::OnTypeChanged()
{
    if (m_filling)
        return;
    // A check mark set from outside the row's selection (a program, a test) selects it.
    for (QListWidget* list : m_types) {
        const QSignalBlocker block(list);
        for (int i = 0; i < list->count(); ++i)
            list->item(i)->setSelected(list->item(i)->checkState() == Qt::Checked);
    }
    ReadBack();
    CloseBalloon();
}

void CFrmFileTypes::OnTypeSelectionChanged(QListWidget* list)
{
    if (m_filling)
        return;
    for (int i = 0; i < list->count(); ++i)
        SetTypeChecked(list, i, list->item(i)->isSelected());
    ReadBack();
    CloseBalloon();
}

void CFrmFileTypes::SelectAllTypes()
{
    CloseBalloon();
    for (size_t c = 0; c < 3; ++c) {
        m_switches[c] = true;
        for (int i = 0; i < m_types[c]->count(); ++i)
            SetTypeChecked(m_types[c], i, true);
    }
    ReadBack();
    ApplySwitches();
    SetStatusText(tr("Every file type of the selected cameras is checked"));
}

void CFrmFileTypes::OnHeadingClicked(Category category)
{
    m_switches[size_t(category)] = !m_switches[size_t(category)];
    {
        const QSignalBlocker block(m_headings[size_t(category)]);
        m_headings[size_t(category)]->setChecked(m_switches[size_t(category)]);
    }
    ApplySwitches();
}

bool CFrmFileTypes::CheckReady()
{
    // The card check's balloons point at no control of this page.
    if (!CheckCard(nullptr))
        return false;
    const QList<QTreeWidgetItem*> selected = m_cameras->selectedItems();
    const bool brand = !selected.isEmpty() &&
                       selected.front()->data(0, Qt::UserRole).toULongLong() < BrandTable().size();
    if (brand) {
        if (Document().Settings().FileTypes != 0)
            return true;
        ShowBalloon(m_types[Images], tr("Select file type(s)"), tr("Please select a media file type for recovery"));
        return false;
    }
    ShowBalloon(m_cameras, tr("Select camera"), tr("Please select a camera type"));
    return false;
}

void CFrmFileTypes::resizeEvent(QResizeEvent*)
{
    // "Cameras:" on the left; the three check lists side by side on the right, each under
    // its category heading.
    constexpr int kTop = 34, kLabel = 18, kBottom = 10, kSide = 14, kGap = 10, kButton = 120;
    const int listTop = kTop + kLabel + 4;
    // The camera list as wide as its longest name, and as high as a whole number of rows
    // (no row cut in half at the bottom).
    int camerasWidth = 150;
    for (int i = 0; i < m_cameras->topLevelItemCount(); ++i)
        camerasWidth = std::max(camerasWidth, m_cameras->fontMetrics().horizontalAdvance(m_cameras->topLevelItem(i)->text(0)) + 40);
    camerasWidth = std::min(camerasWidth, width() / 3);
    const int frame = 2 * m_cameras->frameWidth();
    const int row = std::max(1, m_cameras->topLevelItemCount() > 0 ? m_cameras->sizeHintForRow(0) : 20);
    const int room = height() - listTop - kBottom - frame;
    const int rows = std::min(std::max(1, room / row), std::max(1, m_cameras->topLevelItemCount()));
    m_camerasLabel->setGeometry(kSide, kTop, camerasWidth, kLabel);
    m_cameras->setGeometry(kSide, listTop, camerasWidth, room / row >= m_cameras->topLevelItemCount() ? room + frame : rows * row + frame);
    const int left = kSide + camerasWidth + 2 * kGap;
    const int columnWidth = (width() - left - kSide - 2 * kGap) / 3;
    m_typesLabel->setGeometry(left, kTop, width() - left - kSide - kButton - kGap, kLabel);
    m_selectAll->setGeometry(width() - kSide - kButton, kTop - 3, kButton, 24);
    const int headingTop = listTop;
    const int typesTop = headingTop + 24;
    for (int c = 0; c < 3; ++c) {
        const int x = left + c * (columnWidth + kGap);
        m_headings[size_t(c)]->setGeometry(x, headingTop, columnWidth, 22);
        m_types[size_t(c)]->setGeometry(x, typesTop, columnWidth, height() - typesTop - kBottom);
    }
}
