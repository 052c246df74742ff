#include "ui/ctopbars.h"

#include <QHeaderView>
#include <QPainter>

#include "ui/pagekit.h"
#include "widgets/background.h"

namespace {

// The list's inset inside the tools bar, and its background, RGB(255, 247, 227).
constexpr int kListInset = 6;
const QColor kListBackground(255, 247, 227);
// The right end of the bars' pictures, where the skin draws its card: it keeps its width.
constexpr int kCardEdge = 150;

}  // namespace

CTopTitleBar::CTopTitleBar(QWidget* parent) : QWidget(parent) { setAccessibleName(tr("Step")); }

void CTopTitleBar::SetStep(const QString& number, const QString& title)
{
    m_number = number;
    m_title = title;
    setAccessibleName(title);
    update();
}

void CTopTitleBar::SetPicture(const QString& file)
{
    m_picture = LoadSkinPicture(file);
    update();
}

void CTopTitleBar::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    DrawBackground(p, rect(), m_picture, QColor(0x2f, 0x7d, 0xc8));
    const int h = height();
    if (!m_number.isEmpty()) {
        // The step's number in a white disc, the title beside it.
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(255, 255, 255, 235));
        p.drawEllipse(QRectF(10, (h - 24) / 2.0, 24, 24));
        QFont numberFont = font();
        numberFont.setPixelSize(13);
        numberFont.setBold(true);
        p.setFont(numberFont);
        p.setPen(QColor(0x1d, 0x26, 0x31));
        p.drawText(QRectF(10, (h - 24) / 2.0, 24, 24), Qt::AlignCenter, m_number);
    }
    QFont titleFont = font();
    titleFont.setPixelSize(15);
    titleFont.setBold(true);
    p.setFont(titleFont);
    p.setPen(Qt::white);
    p.drawText(QRect(44, 0, width() - 50, h), Qt::AlignLeft | Qt::AlignVCenter, m_title);
}

CTopInfoBar::CTopInfoBar(const QString& background, QWidget* parent)
    : QWidget(parent), m_background(LoadSkinPicture(background)), m_title(new CTopTitleBar(this))
{
}

void CTopInfoBar::resizeEvent(QResizeEvent*) { m_title->setGeometry(0, 0, width(), CTopTitleBar::Height); }

void CTopInfoBar::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    // The card drawn at the bar's right end keeps its shape in a wide window.
    DrawBackground(p, rect(), m_background, QColor(0xf4, 0xf5, 0xf7), 0, kCardEdge);
}

CTopListBarDlg::CTopListBarDlg(CDriveDoc& doc, CWizardBus& bus, const QString& background, QWidget* parent)
    : QWidget(parent), m_doc(doc), m_background(LoadSkinPicture(background)), m_title(new CTopTitleBar(this)), m_list(new QTreeWidget(this))
{
    m_list->setRootIsDecorated(false);
    m_list->setAccessibleName(tr("Cards"));
    m_list->header()->setAccessibleName(tr("Card columns"));
    QPalette palette = m_list->palette();
    palette.setColor(QPalette::Base, kListBackground);
    m_list->setPalette(palette);
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    connect(m_list, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (item)
            m_doc.SelectDrive(static_cast<char>(item->data(0, Qt::UserRole).toInt()));
    });
    connect(&bus, &CWizardBus::cardListChanged, this, &CTopListBarDlg::FillCards);
}

void CTopListBarDlg::FillCards()
{
    CListView view;
    m_doc.FillDriveList(view, m_list->viewport()->width());
    FillListControl(m_list, view);
}

void CTopListBarDlg::resizeEvent(QResizeEvent*)
{
    m_title->setGeometry(0, 0, width(), CTopTitleBar::Height);
    m_list->setGeometry(kListInset, CTopTitleBar::Height + kListInset, width() - 2 * kListInset,
                        height() - CTopTitleBar::Height - 2 * kListInset);
}

void CTopListBarDlg::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    DrawBackground(p, rect(), m_background, QColor(0xf4, 0xf5, 0xf7), 0, kCardEdge);
}
