#pragma once
// A balloon: a small bubble with an icon, a title and a text that points at one control,
// a warning or a piece of news. It closes itself at the user's next action (a click or a
// key anywhere). Screen readers hear it as an alert; the keyboard focus stays where it was.
#include <QPointer>
#include <QString>
#include <QWidget>

class CBalloonTip : public QWidget {
    Q_OBJECT
public:
    // Shows the balloon under the control's centre; the balloon deletes itself on close.
    enum class Kind { Warning, Information };
    static CBalloonTip* Show(QWidget* control, const QString& title, const QString& text, Kind kind = Kind::Warning);
    const QString& Title() const { return m_title; }
    const QString& Text() const { return m_text; }

signals:
    void Closed();

protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    CBalloonTip(const QString& title, const QString& text, Kind kind);
    ~CBalloonTip() override;
    // Puts the arrow's tip x pixels from the bubble's left edge.
    void SetArrow(int x);

    QString m_title, m_text;
    Kind m_kind;
    int m_arrow = 0;
};
