#pragma once
// The splash window the main window shows while it opens: the splash picture, faded in
// over 400 ms, gone after its display time (50 ticks of 100 ms for 5,000 ms) or at once
// when the user clicks or presses a key, faded out over 400 ms. Without its picture it
// takes no room. At most one exists.
#include <QImage>
#include <QTimer>
#include <QWidget>

class CSplashDlg : public QWidget {
    Q_OBJECT
public:
    static constexpr int TickMs = 100;
    static constexpr int FadeMs = 400;

    // Shows the splash centred on parent; it deletes itself when it ends.
    static CSplashDlg* Show(const QString& picture, QWidget* parent, int displayMs = 5000);
    static CSplashDlg* Current();
    int TicksLeft() const { return m_ticks; }
    // Ends it now (fading out), as a click or a key does.
    void Dismiss();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    CSplashDlg(const QString& picture, QWidget* parent, int displayMs);
    ~CSplashDlg() override;
    void Tick();

    QImage m_picture;
    QTimer m_timer;
    int m_ticks = 0;
    bool m_ending = false;
};
