#pragma once
// The status line at the bottom of the main window: one message, plain (black on the
// plain background) or an error (red on the error background). It repaints only what
// changed: the whole line when the background changed, else the text's rectangle and only
// when the text differs.
#include <QImage>
#include <QString>
#include <QWidget>

class CPX3StatusLine : public QWidget {
    Q_OBJECT
public:
    // The text starts 56 pixels in (beside the line's mark) and keeps 5 from the edges.
    static constexpr int TextInsetLeft = 56;
    static constexpr int TextInset = 5;

    // plainPicture: "StatusLine_B.jpg", errorPicture: "StatusLine_Y.jpg" (may be missing).
    CPX3StatusLine(const QString& plainPicture, const QString& errorPicture, QWidget* parent = nullptr);

    void SetText(const QString& text) { Show(text, false); }
    void SetErrorText(const QString& text) { Show(text, true); }
    const QString& Text() const { return m_text; }
    bool IsError() const { return m_error; }
    // Repaint requests made so far (for tests of the repaint rules).
    int UpdatesRequested() const { return m_updates; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void Show(const QString& text, bool error);
    QRect TextRect() const;

    QImage m_plain, m_errorPicture;
    QString m_text;
    bool m_error = false;
    int m_updates = 0;
};
