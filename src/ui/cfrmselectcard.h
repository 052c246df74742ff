#pragma once
// The first recovery step: the list of cards, whose selection selects the card of the
// document. The list follows the cards as they come and go.
#include <QTreeWidget>

#include "ui/cfrmroot.h"

class CFrmSelectCard : public CFrmRoot {
    Q_OBJECT
public:
    CFrmSelectCard(const CPageContext& context, const CStep& step, QWidget* parent = nullptr);

    void OnPageShow() override;
    QTreeWidget* CardList() const { return m_list; }

protected:
    void OnCardSelected() override;
    void OnCardListChanged() override { FillList(); }
    void resizeEvent(QResizeEvent* event) override;

private:
    void FillList();
    void OnSelectionChanged();

    QTreeWidget* m_list;
    bool m_filling = false;
};
