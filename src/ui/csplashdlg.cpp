#include "ui/csplashdlg.h"

#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPropertyAnimation>

namespace {
CSplashDlg* g_splash = nullptr;
// The margin around the picture (16 pixels on every side).
constexpr int kMargin = 16;
}  // namespace

CSplashDlg* CSplashDlg::Show(const QString& picture, QWidget* parent, int displayMs)
{
    if (g_splash)
        return g_splash;
    g_splash = new CSplashDlg(picture, parent, displayMs);
    return g_splash;
}

CSplashDlg* CSplashDlg::Current() { return g_splash; }

CSplashDlg::CSplashDlg(const QString& picture, QWidget* parent, int displayMs)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint), m_picture(picture), m_ticks(displayMs / TickMs)
{
    setAccessibleName(tr("Pixsalvo 3"));
    if (m_picture.isNull()) {
        resize(0, 0);
    } else {
        resize(m_picture.size() + QSize(2 * kMargin, 2 * kMargin));
        if (parent)
            move(parent->mapToGlobal(parent->rect().center()) - rect().center());
    }
    connect(&m_timer, &QTimer::timeout, this, &CSplashDlg::Tick);
    m_timer.start(TickMs);
    qApp->installEventFilter(this);
    setWindowOpacity(0.0);
    show();
    auto* fade = new QPropertyAnimation(this, "windowOpacity", this);
    fade->setDuration(FadeMs);
    fade->setEndValue(1.0);
    fade->start(QAbstractAnimation::DeleteWhenStopped);
}

CSplashDlg::~CSplashDlg()
{
    qApp->removeEventFilter(this);
    if (g_splash == this)
        g_splash = nullptr;
}

void CSplashDlg::Tick()
{
    if (--m_ticks <= 0)
        Dismiss();
}

void CSplashDlg::Dismiss()
{
    if (m_ending)
        return;
    m_ending = true;
    m_timer.stop();
    if (g_splash == this)
        g_splash = nullptr;
    auto* fade = new QPropertyAnimation(this, "windowOpacity", this);
    fade->setDuration(FadeMs);
    fade->setEndValue(0.0);
    connect(fade, &QPropertyAnimation::finished, this, &QObject::deleteLater);
    fade->start(QAbstractAnimation::DeleteWhenStopped);
}

bool CSplashDlg::eventFilter(QObject*, QEvent* event)
{
    // A click or a key anywhere in the program ends the splash at once.
    if (event->type() == QEvent::MouseButtonPress || event->type() == QEvent::KeyPress)
        Dismiss();
    return false;
}

void CSplashDlg::mousePressEvent(QMouseEvent*) { Dismiss(); }

void CSplashDlg::keyPressEvent(QKeyEvent*) { Dismiss(); }

void CSplashDlg::paintEvent(QPaintEvent*)
{
    QPainter p(this);
    p.fillRect(rect(), QColor(0x1d, 0x26, 0x31));
    p.drawImage(QPoint(kMargin, kMargin), m_picture);
}
