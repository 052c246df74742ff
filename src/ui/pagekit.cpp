#include "ui/pagekit.h"

#include <QAccessible>
#include <QCoreApplication>
#include <QAccessibleWidget>
#include <QDir>
#include <QHeaderView>

#include <algorithm>

#include "app/progresstext.h"
#include "ui/coretext.h"

namespace {

// The fixed texts of the card document's lists (column titles, property names), which the
// document gives in English; the lists show them translated (context "CDriveDoc").
[[maybe_unused]] constexpr const char* kListTexts[] = {
    QT_TRANSLATE_NOOP("CDriveDoc", "Drive"),          QT_TRANSLATE_NOOP("CDriveDoc", "Device Type"),
    QT_TRANSLATE_NOOP("CDriveDoc", "Size"),           QT_TRANSLATE_NOOP("CDriveDoc", "Vendor"),
    QT_TRANSLATE_NOOP("CDriveDoc", "Bus Type"),       QT_TRANSLATE_NOOP("CDriveDoc", "Prop"),
    QT_TRANSLATE_NOOP("CDriveDoc", "Value"),          QT_TRANSLATE_NOOP("CDriveDoc", "Card is not selected"),
    QT_TRANSLATE_NOOP("CDriveDoc", "Drive:"),         QT_TRANSLATE_NOOP("CDriveDoc", "Capacity:"),
    QT_TRANSLATE_NOOP("CDriveDoc", "Media:"),         QT_TRANSLATE_NOOP("CDriveDoc", "Blocks:"),
    QT_TRANSLATE_NOOP("CDriveDoc", "Block Size:"),    QT_TRANSLATE_NOOP("CDriveDoc", "Reader Vendor:"),
    QT_TRANSLATE_NOOP("CDriveDoc", "Reader Product:"), QT_TRANSLATE_NOOP("CDriveDoc", "Reader Revision:"),
    QT_TRANSLATE_NOOP("CDriveDoc", "Bus:"),
};

// A text of a document's list as the user reads it: one of the fixed texts translated,
// a value the core words ("Removable Disk") as CoreText words it, any other (a size, a
// vendor's name) as it is.
QString ListText(const std::string& text)
{
    if (text.empty())
        return {};
    const QString translated = QCoreApplication::translate("CDriveDoc", text.c_str());
    return translated != QString::fromStdString(text) ? translated : CoreText(text);
}

// The property that marks a label showing a value: it holds the value's caption.
constexpr const char* kCaptionProperty = "px3ValueCaption";

// A value label as assistive technology sees it: its name is its caption ("Total
// Images:"), so a client finds it whatever it shows; the value itself is its description
// and its text ("12"), and a screen reader reads both.
class ValueLabelAccessible : public QAccessibleWidget, public QAccessibleTextInterface {
public:
    explicit ValueLabelAccessible(QLabel* label) : QAccessibleWidget(label, QAccessible::StaticText) {}

    QString text(QAccessible::Text kind) const override
    {
        if (kind == QAccessible::Name)
            return Label()->property(kCaptionProperty).toString();
        if (kind == QAccessible::Description || kind == QAccessible::Value)
            return Value();
        return QAccessibleWidget::text(kind);
    }
    void* interface_cast(QAccessible::InterfaceType type) override
    {
        if (type == QAccessible::TextInterface)
            return static_cast<QAccessibleTextInterface*>(this);
        return QAccessibleWidget::interface_cast(type);
    }

    // The read-only text: the value, no selection, no caret.
    void selection(int, int* start, int* end) const override { *start = *end = 0; }
    int selectionCount() const override { return 0; }
    void addSelection(int, int) override {}
    void removeSelection(int) override {}
    void setSelection(int, int, int) override {}
    int cursorPosition() const override { return 0; }
    void setCursorPosition(int) override {}
    QString text(int start, int end) const override
    {
        const QString value = Value();
        start = std::clamp(start, 0, int(value.size()));
        end = end < 0 ? int(value.size()) : std::clamp(end, start, int(value.size()));
        return value.mid(start, end - start);
    }
    int characterCount() const override { return int(Value().size()); }
    QRect characterRect(int) const override { return {}; }
    int offsetAtPoint(const QPoint&) const override { return -1; }
    void scrollToSubstring(int, int) override {}
    QString attributes(int, int* start, int* end) const override
    {
        *start = 0;
        *end = characterCount();
        return {};
    }

private:
    QLabel* Label() const { return static_cast<QLabel*>(widget()); }
    // The shown text without markup or line breaks.
    QString Value() const
    {
        QString value = Label()->text();
        value.replace(QLatin1String("<br>"), QLatin1String(" ")).replace(QLatin1Char('\n'), QLatin1Char(' '));
        return value;
    }
};

QAccessibleInterface* ValueLabelFactory(const QString& className, QObject* object)
{
    if (className == QLatin1String("QLabel") && object && object->property(kCaptionProperty).isValid())
        return new ValueLabelAccessible(static_cast<QLabel*>(object));
    return nullptr;
}

}  // namespace

void MarkValueLabel(QLabel* label, const QString& caption)
{
    static const bool factory = (QAccessible::installFactory(ValueLabelFactory), true);
    (void)factory;
    label->setProperty(kCaptionProperty, caption);
    label->setAccessibleName(caption);
}

QPushButton* RoundButton(const QString& text, const QString& tip, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setToolTip(tip);
    button->setAccessibleName(QString(text).remove('&'));
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(
        "QPushButton { background: #2f7dc8; color: white; border: none; border-radius: 11px; padding: 3px 12px;"
        " font-weight: bold; }"
        "QPushButton:hover { background: #3a8ad6; } QPushButton:pressed { background: #276aa9; }"
        "QPushButton:focus { outline: none; border: 2px solid #9cc4ea; }"
        "QPushButton:disabled { background: #b7c3cf; color: #eef1f4; }");
    return button;
}

QPushButton* PageButton(const QString& text, QWidget* parent)
{
    auto* button = new QPushButton(text, parent);
    button->setAccessibleName(QString(text).remove('&'));
    button->setCursor(Qt::PointingHandCursor);
    button->setStyleSheet(
        "QPushButton { background: white; color: #2f7dc8; border: 1px solid #b9cfe6; border-radius: 11px;"
        " padding: 3px 12px; }"
        "QPushButton:hover { background: #eef5fc; } QPushButton:pressed { background: #dcebf9; }"
        "QPushButton:focus { border: 2px solid #2f7dc8; }"
        "QPushButton:disabled { color: #a9b4bf; border-color: #dde3e9; }");
    return button;
}

QLabel* FieldLabel(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setAccessibleName(text);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, PageColour::Muted);
    label->setPalette(palette);
    return label;
}

QLabel* ValueLabel(const QString& label, QWidget* parent, int pixelSize)
{
    auto* value = new QLabel(parent);
    MarkValueLabel(value, label);
    QFont font = value->font();
    font.setPixelSize(pixelSize);
    font.setBold(true);
    value->setFont(font);
    QPalette palette = value->palette();
    palette.setColor(QPalette::WindowText, PageColour::Text);
    value->setPalette(palette);
    value->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return value;
}

QTreeWidget* ReportList(const QString& name, QWidget* parent)
{
    auto* list = new QTreeWidget(parent);
    list->setRootIsDecorated(false);
    list->setUniformRowHeights(true);
    list->setAccessibleName(name);
    list->header()->setAccessibleName(QCoreApplication::translate("PageKit", "%1 columns").arg(name));
    // In a grown window the last column takes the width that is left.
    list->header()->setStretchLastSection(true);
    list->setStyleSheet(
        "QTreeWidget { border: 1px solid #d9dee4; border-radius: 4px; background: white; }"
        "QTreeWidget::item { padding: 3px 0px; }"
        "QTreeWidget::item:selected { background: #2f7dc8; color: white; }"
        "QHeaderView::section { background: #f4f6f8; color: #5b6775; border: none;"
        " border-bottom: 1px solid #d9dee4; padding: 4px 6px; }");
    return list;
}

void FillListControl(QTreeWidget* list, const CListView& view)
{
    const QSignalBlocker block(list);
    list->clear();
    QStringList titles;
    for (const CListColumn& column : view.Columns)
        titles << ListText(column.Title);
    list->setHeaderLabels(titles);
    for (size_t r = 0; r < view.Rows.size(); ++r) {
        QStringList cells;
        for (const std::string& cell : view.Rows[r])
            cells << ListText(cell);
        auto* item = new QTreeWidgetItem(list, cells);
        item->setData(0, Qt::UserRole, r < view.RowLetters.size() ? int(view.RowLetters[r]) : 0);
        if (int(r) == view.Selected) {
            list->setCurrentItem(item);
            item->setSelected(true);
        }
    }
    // The document's widths fit its English texts; a column whose title or cells need more
    // (a translated device type) grows, and the last column, which has room to spare, gives
    // the width back, so the list keeps its width.
    const int last = int(view.Columns.size()) - 1;
    int grown = 0;
    for (int c = 0; c <= last; ++c) {
        int width = view.Columns[size_t(c)].Width;
        if (c < last) {
            const auto* itemView = static_cast<const QAbstractItemView*>(list);   // where the hint is public
            // A cell's hint has no room after its text: a gap keeps it apart from the next.
            const int needed = std::max(itemView->sizeHintForColumn(c) + 8, list->header()->sectionSizeHint(c));
            if (needed > width) {
                grown += needed - width;
                width = needed;
            }
        } else {
            width = std::max(width - grown, std::min(width, list->header()->sectionSizeHint(c)));
        }
        list->setColumnWidth(c, width);
    }
}

QString ShortFolderText(const QString& folder, const QFontMetrics& metrics, int width)
{
    QString text = QDir::toNativeSeparators(folder);
    const QString home = QDir::homePath();
    if (text == home || text.startsWith(home + "/"))
        text = "~" + text.mid(home.size());
    return metrics.elidedText(text, Qt::ElideMiddle, std::max(60, width));
}

QString SizeQText(uint64_t bytes) { return QString::fromStdString(SizeText(bytes)); }
