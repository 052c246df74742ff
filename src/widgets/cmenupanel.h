#pragma once
// The picture menu on the left of the main window: a background picture (one per
// highlighted entry) with entries at fixed heights. Clickable entries are buttons: they
// show the hand cursor, change colour while the mouse is over them, take the keyboard
// focus and report their command when clicked, by mouse, by Space or by an accessibility
// client's press; headings do not react.
#include <QAbstractButton>
#include <QColor>
#include <QImage>
#include <QString>
#include <QVector>
#include <QWidget>

#include <functional>

struct CMenuEntry {
    int Picture = -1;     // the background's number while this entry's step is current; -1 none
    bool Clickable = false;
    QColor Colour;
    int Height = 0;       // font height in pixels
    int Y = 0;            // from the top of the menu
    QString Text;
    int Command = 0;
    QString Tooltip;
};

class CMenuItem : public QAbstractButton {
    Q_OBJECT
public:
    CMenuItem(const CMenuEntry& entry, QWidget* parent);
    const CMenuEntry& Entry() const { return m_entry; }

signals:
    void Clicked(int command);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    CMenuEntry m_entry;
};

class CMenuPanel : public QWidget {
    Q_OBJECT
public:
    // picturePattern: the background file with "#" for the picture number.
    explicit CMenuPanel(QWidget* parent = nullptr);

    // A new menu: its entries and its picture files; shows picture 0.
    void SetMenu(const QVector<CMenuEntry>& entries, const QString& picturePattern);
    // Highlights the entry whose command is the step (its picture becomes the background).
    void SelectCommand(int command);
    const QVector<CMenuItem*>& Items() const { return m_items; }
    // The entry of a command, or null.
    const CMenuEntry* EntryOf(int command) const;

signals:
    void Command(int command);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void ShowPicture(int number);

    QVector<CMenuItem*> m_items;
    QString m_pattern;
    QImage m_background;
};
