#pragma once
// The support page: the selected card's properties, a printable card report, the support
// mail, the manual, the maker's live support page and the update check.
#include <QPushButton>
#include <QTreeWidget>

#include "ui/cfrmroot.h"

class CFrmCardInfo : public CFrmRoot {
    Q_OBJECT
public:
    CFrmCardInfo(const CPageContext& context, const CStep& step, QWidget* parent = nullptr);

    void OnPageShow() override;
    // "Please insert card into reader", "Please select card to view", at the card list.
    bool CheckReady() override;
    // Refresh: the cards read again, the properties filled again.
    void OnRefresh();
    // Print: the report written to "Card Information.txt" in the data folder (an old one
    // replaced), then opened with the desktop's program, from which the user prints it.
    // False when the card check failed or the file could not be written.
    bool OnPrint();
    // The text of the print file: the title, the date in the user's locale, the report;
    // every carriage return replaced by a blank and every line ended with CR LF, so each
    // line of the file ends in a blank, CR and LF.
    static QByteArray PrintText(const QString& date, const std::string& report);

    QTreeWidget* Properties() const { return m_properties; }

signals:
    // The main window's commands that the page's buttons ask for.
    void CheckForUpdate();
    void ViewManual();

protected:
    // Another card, or the cards changed: the properties are the selected card's.
    void OnCardSelected() override;
    void OnCardListChanged() override { OnCardSelected(); }
    void resizeEvent(QResizeEvent* event) override;

private:
    void FillProperties();

    QLabel* m_propertiesLabel;
    QTreeWidget* m_properties;
    QPushButton* m_refresh;
    QPushButton* m_print;
    QPushButton* m_update;
    QPushButton* m_mail;
    QPushButton* m_manual;
    QPushButton* m_live;
    QLabel* m_web;
    QLabel* m_email;
};
