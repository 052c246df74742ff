#include "ui/cfrmselectcard.h"

#include "ui/pagekit.h"

namespace {

// The list fills the page less 5 pixels at the sides, 30 at the top (the heading) and 45
// at the bottom.
constexpr int kSide = 5, kTop = 30, kBottom = 45;

}  // namespace

CFrmSelectCard::CFrmSelectCard(const CPageContext& context, const CStep& step, QWidget* parent)
    : CFrmRoot(context, step, parent), m_list(ReportList(tr("Cards"), this))
{
    SetHeading(tr("Select the memory card you need to recover:"));
    m_list->setSelectionMode(QAbstractItemView::SingleSelection);
    AddControl(ControlId::CardList, m_list);
    connect(m_list, &QTreeWidget::itemSelectionChanged, this, &CFrmSelectCard::OnSelectionChanged);
}

void CFrmSelectCard::OnPageShow()
{
    CFrmRoot::OnPageShow();
    FillList();
}

void CFrmSelectCard::FillList()
{
    CListView view;
    Document().FillDriveList(view, m_list->viewport()->width());
    m_filling = true;
    FillListControl(m_list, view);
    m_filling = false;
}

void CFrmSelectCard::OnSelectionChanged()
{
    if (m_filling)
        return;
    const QList<QTreeWidgetItem*> selected = m_list->selectedItems();
    Document().SelectDrive(selected.isEmpty() ? 0 : static_cast<char>(selected.front()->data(0, Qt::UserRole).toInt()));
}

void CFrmSelectCard::OnCardSelected()
{
    // The status line is the current page's: a selection made in the tools' card list
    // does not speak for this page while it is hidden.
    if (IsActive()) {
        const char letter = Document().SelectedLetter();
        if (letter != 0 && Document().DriveList().Find(letter))
            SetStatusText(tr("The card in drive %1 is selected").arg(QString("%1:\\").arg(QChar(letter))));
        else
            SetStatusText(tr("The card is not selected"));
    }
    CloseBalloon();
}

void CFrmSelectCard::resizeEvent(QResizeEvent*)
{
    m_list->setGeometry(kSide, kTop, width() - 2 * kSide, height() - kTop - kBottom);
}
