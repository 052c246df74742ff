#include "widgets/cpx3statusline.h"

#include <QPainter>

#include "widgets/background.h"

CPX3StatusLine::CPX3StatusLine(const QString& plainPicture, const QString& errorPicture, QWidget* parent)
    : QWidget(parent), m_plain(LoadSkinPicture(plainPicture)), m_errorPicture(LoadSkinPicture(errorPicture))
{
    setAccessibleName(tr("Status"));
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QRect CPX3StatusLine::TextRect() const
{
    return rect().adjusted(TextInsetLeft, TextInset, -TextInset, -TextInset);
}

void CPX3StatusLine::Show(const QString& text, bool error)
{
    if (error != m_error) {
        m_error = error;
        m_text = text;
        ++m_updates;
        update();
    } else if (text != m_text) {
        m_text = text;
        ++m_updates;
        update(TextRect());
    }
    setAccessibleDescription(m_text);
}

void CPX3StatusLine::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    // The line's icon sits in the picture's left part; the rest grows with the window.
    DrawBackground(p, rect(), m_error ? m_errorPicture : m_plain,
                   m_error ? QColor(0xff, 0xf8, 0xe1) : QColor(0xf4, 0xf5, 0xf7), TextInsetLeft);
    // "Tahoma" 11 pixels; the system gives its nearest face where Tahoma is not installed.
    QFont font("Tahoma");
    font.setPixelSize(11);
    p.setFont(font);
    p.setPen(m_error ? QColor(255, 0, 0) : QColor(0, 0, 0));
    // A message longer than the line (or one with its own line break) wraps rather than
    // being cut off at the window's edge: the line is tall enough for three rows.
    // The system's texts end their lines with "\r\n"; the painter breaks at "\n" alone.
    p.drawText(TextRect(), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextWordWrap, QString(m_text).replace("\r\n", "\n"));
}
