#pragma once
// The bars above the page area: a title bar with the step's number and title on its
// picture, over the recovery bar's background or over the tools bar with the card list.
#include <QImage>
#include <QString>
#include <QTreeWidget>
#include <QWidget>

#include "device/cdrivedoc.h"
#include "ui/cwizardbus.h"

class CTopTitleBar : public QWidget {
    Q_OBJECT
public:
    static constexpr int Height = 35;
    explicit CTopTitleBar(QWidget* parent = nullptr);
    void SetStep(const QString& number, const QString& title);
    void SetPicture(const QString& file);
    const QString& Title() const { return m_title; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QString m_number, m_title;
    QImage m_picture;
};

// The recovery steps' bar: its background picture and the title bar.
class CTopInfoBar : public QWidget {
    Q_OBJECT
public:
    CTopInfoBar(const QString& background, QWidget* parent = nullptr);
    CTopTitleBar* TitleBar() const { return m_title; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QImage m_background;
    CTopTitleBar* m_title;
};

// The tools' bar: the title bar and, below it, the card list of the document, filled
// again whenever the cards change.
class CTopListBarDlg : public QWidget {
    Q_OBJECT
public:
    CTopListBarDlg(CDriveDoc& doc, CWizardBus& bus, const QString& background, QWidget* parent = nullptr);
    CTopTitleBar* TitleBar() const { return m_title; }
    QTreeWidget* CardList() const { return m_list; }
    // Fills the card list from the document.
    void FillCards();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    CDriveDoc& m_doc;
    QImage m_background;
    CTopTitleBar* m_title;
    QTreeWidget* m_list;
};
