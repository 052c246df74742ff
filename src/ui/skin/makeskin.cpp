// px3-makeskin FOLDER [ICONS]: draws every picture of the wizard's skin into FOLDER, and
// with ICONS the program's icon into the icon theme folder ICONS (hicolor: ICONS/NxN/apps/
// pixsalvo3.png at the sizes desktops ask for). Nothing is
// taken from elsewhere: the pictures are painted here, with QPainter, at the sizes the
// main window's layout gives them:
//   - the background sets the window's client area: 693 x 462 pixels, the dialog of
//     462 x 284 dialog units at 1.5 and 1.625 pixels a unit;
//   - the picture menu runs from (5, 5) to (165, client height - 94): 160 x 363, its
//     entries at fixed heights, one picture per highlighted entry;
//   - the top bars span from x 167 to the width less 4 (522 pixels), 90 high for the
//     recovery steps and 120 for the tools, with a 35-pixel title bar;
//   - the status line runs from x 166 to the right edge, 64 high (527 x 64).
// One palette: a calm slate for the frame, blue for recovery, amber for the tools.
#include <QColor>
#include <QDir>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QString>

#include <cstdio>
#include <functional>

namespace {

constexpr int kClientWidth = 693;
constexpr int kClientHeight = 462;
constexpr int kMenuWidth = 160;
constexpr int kMenuHeight = kClientHeight - 94 - 5;
constexpr int kBarWidth = kClientWidth - 4 - 167;
constexpr int kRecoveryBarHeight = 90;
constexpr int kToolBarHeight = 120;
constexpr int kTitleBarHeight = 35;
constexpr int kStatusWidth = kClientWidth - 166;
constexpr int kStatusHeight = 64;

const QColor kSlateDark(0x1d, 0x26, 0x31);
const QColor kSlate(0x2b, 0x37, 0x46);
const QColor kSlateLight(0x3a, 0x48, 0x5a);
const QColor kBlue(0x2f, 0x7d, 0xc8);
const QColor kBlueLight(0x5a, 0x9e, 0xe0);
const QColor kAmber(0xe3, 0xc4, 0x5e);    // the tools menu's text colour, RGB(227, 196, 94)
const QColor kAmberDeep(0xc9, 0x9a, 0x2e);
const QColor kPaper(0xf4, 0xf5, 0xf7);
const QColor kLine(0xd9, 0xdd, 0xe3);

// A menu entry's highlight: its top and height (the label's, from the menu tables) and
// the group colour.
struct Highlight {
    int y, height;
    QColor colour;
};

QFont Font(int pixels, bool bold = false)
{
    QFont font("DejaVu Sans");
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

// The skin is painted twice: at its own size, and at twice the pixels as the "@2x" twins
// that high-density screens use. Canvas and Save follow the scale of the current pass.
int g_scale = 1;

bool Save(const QString& folder, const QString& name, const QImage& image)
{
    QString file = name;
    if (g_scale != 1)
        file.insert(file.lastIndexOf('.'), QString("@%1x").arg(g_scale));
    const QString path = folder + "/" + file;
    const bool jpeg = name.endsWith(".jpg");
    if (!image.save(path, jpeg ? "JPG" : "PNG", jpeg ? 92 : -1)) {
        std::fprintf(stderr, "px3-makeskin: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

QImage Canvas(int width, int height, const std::function<void(QPainter&)>& paint)
{
    QImage image(width * g_scale, height * g_scale, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.scale(g_scale, g_scale);
    paint(p);
    return image;
}

void VerticalGradient(QPainter& p, const QRectF& r, const QColor& top, const QColor& bottom)
{
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.fillRect(r, g);
}

// A memory card outline: the clipped corner of an SD card and its contacts.
void Card(QPainter& p, const QRectF& r, const QColor& body, const QColor& edge)
{
    QPainterPath card;
    const qreal cut = r.width() * 0.28;
    card.moveTo(r.left() + cut, r.top());
    card.lineTo(r.right(), r.top());
    card.lineTo(r.right(), r.bottom());
    card.lineTo(r.left(), r.bottom());
    card.lineTo(r.left(), r.top() + cut);
    card.closeSubpath();
    p.setPen(QPen(edge, 1.5));
    p.setBrush(body);
    p.drawPath(card);
    p.setPen(Qt::NoPen);
    p.setBrush(edge);
    const qreal w = (r.width() - cut - 6) / 5;
    for (int i = 0; i < 4; ++i)
        p.drawRoundedRect(QRectF(r.left() + cut + 3 + i * (w + 1.5), r.top() + 4, w, r.height() * 0.18), 1, 1);
}

QImage Menu(const QVector<Highlight>& highlights, int selected)
{
    return Canvas(kMenuWidth, kMenuHeight, [&](QPainter& p) {
        VerticalGradient(p, QRectF(0, 0, kMenuWidth, kMenuHeight), kSlate, kSlateDark);
        // The headings sit on a faint band each.
        p.setPen(QPen(QColor(255, 255, 255, 30), 1));
        for (const Highlight& h : highlights)
            if (h.height == 0)
                p.drawLine(QPointF(10, h.y + 0.5), QPointF(kMenuWidth - 10, h.y + 0.5));
        if (selected >= 0 && selected < highlights.size()) {
            const Highlight& h = highlights[selected];
            const QRectF band(6, h.y - 3, kMenuWidth - 12, h.height + 6);
            QColor fill = h.colour;
            fill.setAlpha(200);
            p.setPen(Qt::NoPen);
            p.setBrush(fill);
            p.drawRoundedRect(band, 6, 6);
            p.setBrush(Qt::white);
            p.drawRoundedRect(QRectF(band.left() + 3, band.top() + 5, 3, band.height() - 10), 1.5, 1.5);
        }
    });
}

QImage TopBar(int height, const QColor& accent)
{
    return Canvas(kBarWidth, height, [&](QPainter& p) {
        VerticalGradient(p, QRectF(0, 0, kBarWidth, height), QColor(0xfb, 0xfc, 0xfd), kPaper);
        p.setPen(QPen(kLine, 1));
        p.drawLine(QPointF(0, height - 0.5), QPointF(kBarWidth, height - 0.5));
        QColor body = accent;
        body.setAlpha(40);
        QColor edge = accent;
        edge.setAlpha(110);
        Card(p, QRectF(kBarWidth - 64, kTitleBarHeight + 8, 40, std::min(52, height - kTitleBarHeight - 14)), body,
             edge);
    });
}

QImage TitleBar(const QColor& from, const QColor& to)
{
    return Canvas(kBarWidth, kTitleBarHeight, [&](QPainter& p) {
        QLinearGradient g(0, 0, kBarWidth, 0);
        g.setColorAt(0, from);
        g.setColorAt(1, to);
        p.fillRect(QRectF(0, 0, kBarWidth, kTitleBarHeight), g);
        p.fillRect(QRectF(0, kTitleBarHeight - 2, kBarWidth, 2), QColor(0, 0, 0, 40));
    });
}

QImage StatusLine(const QColor& top, const QColor& bottom, const QColor& mark)
{
    return Canvas(kStatusWidth, kStatusHeight, [&](QPainter& p) {
        VerticalGradient(p, QRectF(0, 0, kStatusWidth, kStatusHeight), top, bottom);
        p.fillRect(QRectF(0, 0, kStatusWidth, 1), kLine);
        // The text starts 56 pixels in: a round mark sits in that margin.
        p.setPen(Qt::NoPen);
        p.setBrush(mark);
        p.drawEllipse(QPointF(28, kStatusHeight / 2.0), 9, 9);
        p.setBrush(Qt::white);
        p.drawEllipse(QPointF(28, kStatusHeight / 2.0), 3, 3);
    });
}

// A thumbnail stand-in for files that are not pictures: a tile with a symbol.
QImage Placeholder(const std::function<void(QPainter&, const QRectF&)>& symbol)
{
    return Canvas(160, 120, [&](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x26, 0x30, 0x3d));
        p.drawRoundedRect(QRectF(0, 0, 160, 120), 10, 10);
        symbol(p, QRectF(40, 20, 80, 80));
    });
}

QImage Magnifier(const QColor& ring, const QColor& glass)
{
    return Canvas(24, 24, [&](QPainter& p) {
        p.setPen(QPen(ring, 2.4, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(glass);
        p.drawEllipse(QPointF(10, 10), 6.5, 6.5);
        p.drawLine(QPointF(15, 15), QPointF(21, 21));
    });
}

// The program's icon at size x size: a memory card with the recovered picture's sun on a
// rounded slate tile. Drawn on a 256-unit grid and scaled, so every size is sharp.
QImage AppIcon(int size)
{
    return Canvas(size, size, [size](QPainter& p) {
        p.scale(size / 256.0, size / 256.0);
        QPainterPath tile;
        tile.addRoundedRect(QRectF(8, 8, 240, 240), 44, 44);
        QLinearGradient g(0, 8, 0, 248);
        g.setColorAt(0, kSlateLight);
        g.setColorAt(1, kSlateDark);
        p.fillPath(tile, g);
        Card(p, QRectF(70, 40, 116, 160), QColor(0x33, 0x41, 0x53), kBlueLight);
        // The picture on the card: a hill and the sun.
        QPainterPath hill;
        hill.moveTo(84, 186);
        hill.lineTo(118, 138);
        hill.lineTo(140, 160);
        hill.lineTo(156, 146);
        hill.lineTo(172, 186);
        hill.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(kBlue);
        p.drawPath(hill);
        p.setBrush(kAmber);
        p.drawEllipse(QPointF(150, 118), 14, 14);
        // A round badge with the arrow of a file coming back.
        p.setPen(QPen(kSlateDark, 8));
        p.setBrush(kAmber);
        p.drawEllipse(QPointF(188, 190), 44, 44);
        p.setPen(QPen(kSlateDark, 10, Qt::SolidLine, Qt::RoundCap));
        p.setBrush(Qt::NoBrush);
        p.drawArc(QRectF(164, 166, 48, 48), 90 * 16, 270 * 16);
        QPainterPath head;
        head.moveTo(188, 152);
        head.lineTo(206, 166);
        head.lineTo(188, 180);
        head.closeSubpath();
        p.setPen(Qt::NoPen);
        p.setBrush(kSlateDark);
        p.drawPath(head);
    });
}

bool SaveIcons(const QString& root)
{
    bool ok = true;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        const QString folder = QString("%1/%2x%2/apps").arg(root).arg(size);
        ok = QDir().mkpath(folder) && Save(folder, "pixsalvo3.png", AppIcon(size)) && ok;
    }
    return ok;
}

// Every picture of the skin into folder, at the current pass's scale.
bool PaintSkin(const QString& folder)
{
    bool ok = true;

    // The picture menus: the entries' tops and heights from the menu tables, headings as
    // lines. Picture n highlights the entry of picture n.
    const QVector<Highlight> recovery = {{66, 34, kBlue},  {101, 34, kBlue}, {135, 34, kBlue}, {171, 34, kBlue},
                                         {206, 34, kBlue}, {241, 34, kBlue}, {336, 15, kAmberDeep},
                                         {306, 0, kBlue}};
    for (int n = 0; n <= 6; ++n)
        ok = Save(folder, QString("RecoverSelect_%1.png").arg(n), Menu(recovery, n)) && ok;
    const QVector<Highlight> tools = {{152, 14, kAmberDeep}, {186, 14, kAmberDeep}, {222, 14, kAmberDeep},
                                      {257, 14, kAmberDeep}, {56, 14, kBlue},       {111, 0, kBlue}};
    for (int n = 0; n <= 4; ++n)
        ok = Save(folder, QString("ToolSelect_%1.png").arg(n), Menu(tools, n)) && ok;
    ok = Save(folder, "RecoverSelectON.png", Canvas(kMenuWidth - 12, 40, [](QPainter& p) {
             p.setPen(Qt::NoPen);
             p.setBrush(kBlue);
             p.drawRoundedRect(QRectF(0, 0, kMenuWidth - 12, 40), 6, 6);
         })) && ok;

    // The window's background: the menu's column, the page area, the button strip.
    ok = Save(folder, "PX3BG.png", Canvas(kClientWidth, kClientHeight, [](QPainter& p) {
             p.fillRect(QRectF(0, 0, kClientWidth, kClientHeight), kPaper);
             // The menu's column: row by row the menu's own colours, so the menu picture
             // has no edge on it.
             p.fillRect(QRectF(0, 0, 166, 5), kSlate);
             VerticalGradient(p, QRectF(0, 5, 166, kMenuHeight), kSlate, kSlateDark);
             p.fillRect(QRectF(0, 5 + kMenuHeight, 166, kClientHeight - 5 - kMenuHeight), kSlateDark);
             p.fillRect(QRectF(166, kClientHeight - 94, kClientWidth - 166, 30), QColor(0xea, 0xed, 0xf1));
             p.fillRect(QRectF(166, kClientHeight - 94, kClientWidth - 166, 1), kLine);
         })) && ok;

    ok = Save(folder, "TopInfoBG.png", TopBar(kRecoveryBarHeight, kBlue)) && ok;
    ok = Save(folder, "TopToolBG.png", TopBar(kToolBarHeight, kAmberDeep)) && ok;
    ok = Save(folder, "TOP_BAR_BLUE.png", TitleBar(kBlue, kBlueLight)) && ok;
    ok = Save(folder, "TOP_BAR_YELLOW.png", TitleBar(kAmberDeep, kAmber)) && ok;
    // Plain text on a quiet band; error text on a warm one.
    ok = Save(folder, "StatusLine_B.jpg", StatusLine(QColor(0xfb, 0xfc, 0xfd), QColor(0xee, 0xf0, 0xf3), kBlue)) && ok;
    ok = Save(folder, "StatusLine_Y.jpg", StatusLine(QColor(0xff, 0xf8, 0xe1), QColor(0xfb, 0xeb, 0xc0), kAmberDeep)) &&
         ok;

    ok = Save(folder, "PX3Splash.jpg", Canvas(480, 300, [](QPainter& p) {
             VerticalGradient(p, QRectF(0, 0, 480, 300), kSlate, kSlateDark);
             Card(p, QRectF(48, 78, 96, 128), QColor(0x33, 0x41, 0x53), kBlueLight);
             p.setPen(Qt::NoPen);
             p.setBrush(kAmber);
             p.drawEllipse(QPointF(96, 158), 16, 16);
             p.setPen(Qt::white);
             p.setFont(Font(40, true));
             p.drawText(QRectF(176, 86, 290, 56), Qt::AlignLeft | Qt::AlignVCenter, "Pixsalvo 3");
             p.setFont(Font(15));
             p.setPen(QColor(255, 255, 255, 200));
             p.drawText(QRectF(178, 146, 290, 24), Qt::AlignLeft | Qt::AlignVCenter, "Pictures back from camera cards");
             p.setPen(QColor(255, 255, 255, 110));
             p.setFont(Font(11));
             p.drawText(QRectF(178, 250, 290, 20), Qt::AlignLeft | Qt::AlignVCenter, "Tolvex Media");
         })) && ok;

    ok = Save(folder, "VideoImage.png", Placeholder([](QPainter& p, const QRectF& r) {
             p.setPen(Qt::NoPen);
             p.setBrush(kSlateLight);
             p.drawRoundedRect(r.adjusted(0, 12, 0, -12), 6, 6);
             p.setBrush(QColor(0x26, 0x30, 0x3d));
             for (int i = 0; i < 5; ++i) {
                 p.drawRect(QRectF(r.left() + 6 + i * 15, r.top() + 16, 8, 6));
                 p.drawRect(QRectF(r.left() + 6 + i * 15, r.bottom() - 22, 8, 6));
             }
             QPainterPath play;
             play.moveTo(r.center() + QPointF(-9, -12));
             play.lineTo(r.center() + QPointF(14, 0));
             play.lineTo(r.center() + QPointF(-9, 12));
             play.closeSubpath();
             p.setBrush(kBlueLight);
             p.drawPath(play);
         })) && ok;
    ok = Save(folder, "AudioImage.png", Placeholder([](QPainter& p, const QRectF& r) {
             p.setPen(QPen(kAmber, 5, Qt::SolidLine, Qt::RoundCap));
             const int bars[] = {14, 30, 46, 26, 38, 18, 32, 12};
             for (int i = 0; i < 8; ++i) {
                 const qreal x = r.left() + 6 + i * 10;
                 p.drawLine(QPointF(x, r.center().y() - bars[i] / 2.0), QPointF(x, r.center().y() + bars[i] / 2.0));
             }
         })) && ok;
    ok = Save(folder, "NoImage.png", Placeholder([](QPainter& p, const QRectF& r) {
             p.setPen(QPen(QColor(255, 255, 255, 140), 3));
             p.setBrush(Qt::NoBrush);
             p.drawRoundedRect(r.adjusted(2, 10, -2, -10), 5, 5);
             QPainterPath hill;
             hill.moveTo(r.left() + 10, r.bottom() - 18);
             hill.lineTo(r.left() + 32, r.top() + 42);
             hill.lineTo(r.left() + 48, r.bottom() - 30);
             hill.lineTo(r.left() + 58, r.top() + 50);
             hill.lineTo(r.right() - 10, r.bottom() - 18);
             p.drawPath(hill);
             p.setPen(QPen(QColor(0xe0, 0x5a, 0x4f), 4, Qt::SolidLine, Qt::RoundCap));
             p.drawLine(r.topLeft() + QPointF(4, 4), r.bottomRight() - QPointF(4, 4));
         })) && ok;

    ok = Save(folder, "ClickSelect.png", Canvas(250, 22, [](QPainter& p) {
             p.setPen(QPen(kBlue, 1.6));
             p.setBrush(Qt::white);
             p.drawRoundedRect(QRectF(2, 4, 14, 14), 3, 3);
             p.drawLine(QPointF(5, 11), QPointF(8, 14));
             p.drawLine(QPointF(8, 14), QPointF(13, 7));
             p.setPen(QColor(0x3a, 0x48, 0x5a));
             p.setFont(Font(12));
             p.drawText(QRectF(22, 0, 228, 22), Qt::AlignLeft | Qt::AlignVCenter, "Click the square to keep a file");
         })) && ok;
    ok = Save(folder, "Magnify.png", Magnifier(kSlateLight, QColor(255, 255, 255, 200))) && ok;
    ok = Save(folder, "MagnifyHover.png", Magnifier(kBlue, QColor(0xe6, 0xf0, 0xfa))) && ok;
    return ok;
}

}  // namespace

int main(int argc, char** argv)
{
    QGuiApplication app(argc, argv);
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: px3-makeskin FOLDER [ICONS]\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    if (!QDir().mkpath(folder)) {
        std::fprintf(stderr, "px3-makeskin: cannot make %s\n", argv[1]);
        return 1;
    }
    bool ok = true;
    for (g_scale = 1; g_scale <= 2; ++g_scale)
        ok = PaintSkin(folder) && ok;
    g_scale = 1;
    if (argc == 3)
        ok = SaveIcons(QString::fromLocal8Bit(argv[2])) && ok;
    return ok ? 0 : 1;
}
