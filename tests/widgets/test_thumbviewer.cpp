// The thumbnail grid and the picture window as the user meets them: the rows of five, the
// keep mark and open square under the mouse and the keyboard, the names under the
// thumbnails, a cell filled in when its thumbnail arrives, the repaint of a large card,
// and the picture window's first size, its placement and its empty state. Pictures are
// written with QImage at test time.
#include <gtest/gtest.h>

#include <QAccessible>
#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QImage>
#include <QLocale>
#include <QPainter>
#include <QScreen>
#include <QScrollBar>
#include <QTest>

#include <algorithm>
#include <iostream>
#include <vector>

#include "recovery/cthumb.h"
#include "recovery/cthumblist.h"
#include "support/fixtures.h"
#include "support/qtapp.h"
#include "widgets/cimageviewerdlg.h"
#include "widgets/cthumbviewer.h"

namespace {

// What the grid signalled, in order.
namespace ThumbNotice {
constexpr int KeepChanged = 1, Open = 3;
}
struct Notices {
    std::vector<std::pair<int, CThumb*>> got;
    void Watch(CThumbViewer& viewer)
    {
        QObject::connect(&viewer, &CThumbViewer::keepChanged, [this](CThumb* t) { got.emplace_back(ThumbNotice::KeepChanged, t); });
        QObject::connect(&viewer, &CThumbViewer::openRequested, [this](CThumb* t) { got.emplace_back(ThumbNotice::Open, t); });
    }
};

// Counts the paints of a widget.
struct PaintCounter : QObject {
    int paints = 0;
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints;
        return false;
    }
};

class Widgets : public ::testing::Test {
protected:
    static void SetUpTestSuite() { px::test::EnsureApplication(); }

    std::string Picture(const std::string& name, QSize size, QColor colour)
    {
        QImage picture(size, QImage::Format_RGB32);
        picture.fill(colour);
        const std::string path = m_home.File(name);
        EXPECT_TRUE(picture.save(QString::fromStdString(path)));
        return path;
    }

    static bool Near(QColor got, QColor want, int tolerance = 24)
    {
        return std::abs(got.red() - want.red()) <= tolerance && std::abs(got.green() - want.green()) <= tolerance
            && std::abs(got.blue() - want.blue()) <= tolerance;
    }

    px::test::TempHome m_home;
};

// A point of the index-th cell of the grid's own list, in viewport coordinates.
QPoint At(const CThumbViewer& viewer, size_t index, QPoint inCell)
{
    const QRect cell = viewer.List()->GetAt(index)->GetCellRect();
    return cell.topLeft() + inCell - QPoint(viewer.horizontalScrollBar()->value(), viewer.verticalScrollBar()->value());
}

}  // namespace

TEST_F(Widgets, GridRowsOfFiveAndTheirScrollRange)
{
    CThumbViewer viewer;
    for (int i = 0; i < 7; ++i)
        viewer.List()->AddFile(m_home.File("missing.jpg"));
    viewer.Relayout();
    // The sixth thumbnail starts the second row; the grid's own cells are 95 x 95.
    EXPECT_EQ(viewer.List()->GetAt(4)->GetCellRect(), QRect(4 * 95, 0, 95, 95));
    EXPECT_EQ(viewer.List()->GetAt(5)->GetCellRect(), QRect(0, 95, 95, 95));
    EXPECT_EQ(CThumbViewer::KeepSquare(QRect(0, 95, 95, 95)), QRect(79, 174, 14, 14));
    EXPECT_EQ(CThumbViewer::OpenSquare(QRect(0, 95, 95, 95)), QRect(2, 174, 14, 14));
    // Scrolled to its end, the grid shows the last row's bottom edge.
    viewer.resize(300, 120);
    viewer.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&viewer));
    EXPECT_EQ(viewer.verticalScrollBar()->maximum() + viewer.viewport()->height(), 2 * 95);
    EXPECT_EQ(viewer.horizontalScrollBar()->maximum() + viewer.viewport()->width(), 5 * 95);
    // A view wide enough for seven cells lays them out in one row of seven.
    viewer.resize(7 * 95 + 40, 300);
    QCoreApplication::processEvents();
    ASSERT_GE(viewer.viewport()->width(), 7 * 95);
    EXPECT_EQ(viewer.Columns(), 7);
    EXPECT_EQ(viewer.List()->GetAt(6)->GetCellRect(), QRect(6 * 95, 0, 95, 95));
    EXPECT_EQ(viewer.verticalScrollBar()->maximum(), 0);
}

TEST_F(Widgets, GridClicksAndKeysMarkOpenAndMove)
{
    Notices notices;
    CThumbViewer viewer;
    notices.Watch(viewer);
    CThumbList& list = *viewer.List();
    for (int i = 0; i < 7; ++i)
        list.AddFile(m_home.File("missing.jpg"));
    viewer.Relayout();
    viewer.resize(520, 260);
    viewer.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&viewer));
    QWidget* area = viewer.viewport();

    // The picture area of a kept thumbnail clears the mark; the keep square too.
    QTest::mouseClick(area, Qt::LeftButton, {}, At(viewer, 0, {47, 40}));
    QTest::mouseClick(area, Qt::LeftButton, {}, At(viewer, 1, {85, 85}));
    ASSERT_EQ(notices.got.size(), 2u);
    EXPECT_EQ(notices.got[0], std::make_pair(ThumbNotice::KeepChanged, list.GetAt(0)));
    EXPECT_EQ(notices.got[1], std::make_pair(ThumbNotice::KeepChanged, list.GetAt(1)));
    EXPECT_FALSE(list.GetAt(0)->IsKept());
    EXPECT_FALSE(list.GetAt(1)->IsKept());
    EXPECT_EQ(list.GetCurrent(), nullptr);

    // The open square makes the cell current and asks to open it.
    QTest::mouseClick(area, Qt::LeftButton, {}, At(viewer, 2, {8, 85}));
    ASSERT_EQ(notices.got.size(), 3u);
    EXPECT_EQ(notices.got[2], std::make_pair(ThumbNotice::Open, list.GetAt(2)));
    EXPECT_EQ(list.GetCurrent(), list.GetAt(2));
    EXPECT_TRUE(list.GetAt(2)->IsKept());
    // A double click (press, release, double-click, release) does what one click does:
    // the keep mark turns over once, and the file opens once.
    for (const QPoint at : {At(viewer, 2, {85, 85}), At(viewer, 2, {8, 85})}) {
        QTest::mouseClick(area, Qt::LeftButton, {}, at);
        QMouseEvent twice(QEvent::MouseButtonDblClick, at, area->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton, {});
        QCoreApplication::sendEvent(area, &twice);
        QTest::mouseRelease(area, Qt::LeftButton, {}, at);
    }
    ASSERT_EQ(notices.got.size(), 5u);
    EXPECT_EQ(notices.got[3], std::make_pair(ThumbNotice::KeepChanged, list.GetAt(2)));
    EXPECT_EQ(notices.got[4], std::make_pair(ThumbNotice::Open, list.GetAt(2)));
    EXPECT_FALSE(list.GetAt(2)->IsKept());
    list.GetAt(2)->ToggleKept();
    notices.got.resize(3);
    // Elsewhere in a cell (between the squares) only moves the current cell; a point
    // below the short last row is in no cell and does nothing.
    QTest::mouseClick(area, Qt::LeftButton, {}, At(viewer, 3, {47, 88}));
    QTest::mouseClick(area, Qt::LeftButton, {}, At(viewer, 6, {95 + 40, 40}));
    EXPECT_EQ(notices.got.size(), 3u);
    EXPECT_EQ(list.GetCurrent(), list.GetAt(3));

    // The keyboard: Down from the first row's fourth cell reaches the short last row,
    // Space turns the mark over, Enter opens.
    QTest::keyClick(&viewer, Qt::Key_Down);
    EXPECT_EQ(list.GetCurrent(), list.GetAt(6));
    QTest::keyClick(&viewer, Qt::Key_Left);
    EXPECT_EQ(list.GetCurrent(), list.GetAt(5));
    QTest::keyClick(&viewer, Qt::Key_Space);
    QTest::keyClick(&viewer, Qt::Key_Return);
    ASSERT_EQ(notices.got.size(), 5u);
    EXPECT_EQ(notices.got[3], std::make_pair(ThumbNotice::KeepChanged, list.GetAt(5)));
    EXPECT_EQ(notices.got[4], std::make_pair(ThumbNotice::Open, list.GetAt(5)));
    EXPECT_FALSE(list.GetAt(5)->IsKept());
    EXPECT_EQ(list.CountKept(), 4u);
    EXPECT_EQ(viewer.accessibleName(), "Thumbnails");

    // Assistive technology has the same two actions on every cell.
    QAccessibleInterface* cell = QAccessible::queryAccessibleInterface(&viewer)->child(4);
    ASSERT_NE(cell, nullptr);
    ASSERT_NE(cell->actionInterface(), nullptr);
    const bool kept = list.GetAt(4)->IsKept();
    cell->actionInterface()->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_NE(list.GetAt(4)->IsKept(), kept);
    EXPECT_EQ(cell->state().checked, !kept);
    cell->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
    ASSERT_EQ(notices.got.size(), 7u);
    EXPECT_EQ(notices.got[6], std::make_pair(ThumbNotice::Open, list.GetAt(4)));
    EXPECT_EQ(list.GetCurrent(), list.GetAt(4));
}

// Under each thumbnail the camera's name for the file when the card knew it, else the
// file's own name; the tooltip and the cell's accessible name and description tell the
// same, with the shot time in local time.
TEST_F(Widgets, GridNamesEachFileUnderItsThumbnail)
{
    struct LocaleGuard {
        QLocale before;
        ~LocaleGuard() { QLocale::setDefault(before); }
    } guard;
    QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedKingdom));
    CThumbViewer viewer;
    CThumbList& list = *viewer.List();
    // Missing files: the names are drawn all the same.
    const std::string described = m_home.File("IMAGE_007.JPG");
    list.AddFile(described);
    list.AddFile(m_home.File("IMG_0001.JPG"));
    list.AddFile(m_home.File("IMAGE_008.JPG"));
    const int64_t shot = QDateTime(QDate(2024, 5, 18), QTime(8, 34)).toSecsSinceEpoch();
    ASSERT_TRUE(list.Describe(described, "IMG_0001.JPG", shot));
    viewer.Relayout();
    viewer.resize(520, 260);
    viewer.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&viewer));

    // The described file shows its camera name: the same pixels as a file of that name;
    // the third shows another name, and the background shows no name at all.
    const QImage drawn = viewer.viewport()->grab().toImage();
    auto nameOf = [&](size_t index) {
        return drawn.copy(CThumbViewer::NameRect(list.GetAt(index)->GetCellRect()));
    };
    const QImage blank = drawn.copy(CThumbViewer::NameRect(QRect(3 * 95, 0, 95, 95)));
    EXPECT_EQ(nameOf(0), nameOf(1));
    EXPECT_NE(nameOf(0), nameOf(2));
    EXPECT_NE(nameOf(0), blank);
    // Between the squares, clear of both.
    const QRect cell = list.GetAt(0)->GetCellRect();
    EXPECT_TRUE(cell.contains(CThumbViewer::NameRect(cell)));
    EXPECT_FALSE(CThumbViewer::NameRect(cell).intersects(CThumbViewer::OpenSquare(cell)));
    EXPECT_FALSE(CThumbViewer::NameRect(cell).intersects(CThumbViewer::KeepSquare(cell)));

    EXPECT_EQ(CThumbViewer::DetailsOf(*list.GetAt(0)),
              QStringList({"IMG_0001.JPG", "18 May 2024 08:34", "JPG picture", "0.0 B"}));
    EXPECT_EQ(CThumbViewer::DetailsOf(*list.GetAt(2)), QStringList({"IMAGE_008.JPG", "JPG picture", "0.0 B"}));

    QAccessibleInterface* grid = QAccessible::queryAccessibleInterface(&viewer);
    ASSERT_NE(grid, nullptr);
    EXPECT_EQ(grid->role(), QAccessible::List);
    EXPECT_EQ(grid->text(QAccessible::Name), "Thumbnails");
    ASSERT_EQ(grid->childCount(), 3);
    QAccessibleInterface* first = grid->child(0);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->role(), QAccessible::ListItem);
    EXPECT_EQ(first->text(QAccessible::Name), "IMG_0001.JPG");
    EXPECT_EQ(first->text(QAccessible::Description), "18 May 2024 08:34, JPG picture, 0.0 B");
    EXPECT_EQ(grid->child(2)->text(QAccessible::Name), "IMAGE_008.JPG");
    EXPECT_EQ(grid->indexOfChild(grid->child(2)), 2);
    EXPECT_EQ(first->parent(), grid);
    // Checked while kept; the cell under a point and the keyboard's cell are found.
    EXPECT_TRUE(first->state().checked);
    QTest::mouseClick(viewer.viewport(), Qt::LeftButton, {}, At(viewer, 0, {47, 40}));
    EXPECT_FALSE(first->state().checked);
    const QPoint middle = viewer.viewport()->mapToGlobal(At(viewer, 2, {47, 40}));
    EXPECT_EQ(grid->childAt(middle.x(), middle.y()), grid->child(2));
    viewer.setFocus();
    QTest::keyClick(&viewer, Qt::Key_End);
    EXPECT_EQ(grid->focusChild(), grid->child(2));
}

TEST_F(Widgets, CellIsFilledInWhenItsThumbnailArrives)
{
    const std::string red = Picture("IMAGE_001.png", {40, 30}, Qt::red);
    CThumbList list(CThumbParams::GridList());
    list.SetCacheLimit(50);
    CThumbViewer viewer;
    viewer.SetList(&list, false);
    viewer.resize(520, 260);
    viewer.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&viewer));
    PaintCounter counter;
    viewer.viewport()->installEventFilter(&counter);

    // Nothing is made until the grid paints the cell and asks for it.
    list.AddFile(red);
    viewer.Relayout();
    const QImage before = viewer.viewport()->grab().toImage();
    viewer.viewport()->repaint();
    const int paintsBefore = counter.paints;
    // The 40 x 30 picture lies centred in the 91 x 76 inner area, 2 pixels into the cell.
    const QPoint middle(2 + 45, 2 + 38);
    EXPECT_TRUE(Near(before.pixelColor(middle), Qt::white)) << before.pixelColor(middle).name().toStdString();
    EXPECT_TRUE(Near(before.pixelColor(0, 0), QColor(0xD3, 0xD3, 0xD3), 0));

    // The list's announcement repaints the cell.
    EXPECT_TRUE(QTest::qWaitFor([&] { return list.GetAt(0)->IsThumbnailReady() && counter.paints > paintsBefore; }));
    const QImage after = viewer.viewport()->grab().toImage();
    EXPECT_TRUE(Near(after.pixelColor(middle), Qt::red)) << after.pixelColor(middle).name().toStdString();
    // The antique white frame lies 3 pixels inside the picture's edge.
    EXPECT_TRUE(Near(after.pixelColor(2 + 25, 2 + 23), QColor(0xFA, 0xEB, 0xD7), 0));
    viewer.SetList(nullptr, true);
    EXPECT_NE(viewer.List(), &list);
}

TEST_F(Widgets, LargeCardRepaintsOnlyTheCellsInView)
{
    const std::string jpg = Picture("IMAGE_002.JPG", {64, 48}, Qt::blue);
    constexpr size_t kFiles = 5000;
    CThumbList list(CThumbParams::FoundList());
    list.SetCacheLimit(200);
    for (size_t i = 0; i < kFiles; ++i)
        list.AddFile(jpg);
    CThumbViewer viewer;
    viewer.SetList(&list, false);
    viewer.resize(520, 420);
    viewer.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&viewer));
    viewer.verticalScrollBar()->setValue(viewer.verticalScrollBar()->maximum() / 2);
    viewer.viewport()->repaint();
    ASSERT_TRUE(list.WaitForThumbnails(60000));
    QCoreApplication::processEvents();

    const QSize view = viewer.viewport()->size();
    const size_t inView = size_t(view.height() / 96 + 2) * size_t(viewer.Columns());
    std::vector<qint64> times;
    std::vector<size_t> cells;
    for (int i = 0; i < 9; ++i) {
        const size_t painted = viewer.CellsPainted();
        QElapsedTimer timer;
        timer.start();
        viewer.viewport()->repaint();
        times.push_back(timer.nsecsElapsed());
        cells.push_back(viewer.CellsPainted() - painted);
    }
    // The time alone would not tell: cells without a bitmap are cheap to paint. The
    // count of cells painted does.
    EXPECT_LE(*std::max_element(cells.begin(), cells.end()), inView);
    EXPECT_GE(*std::min_element(cells.begin(), cells.end()), inView - 2 * size_t(viewer.Columns()));
    std::sort(times.begin(), times.end());
    const double median = double(times[times.size() / 2]) / 1e6;
    std::cout << "[ measure  ] repaint of a " << view.width() << " x " << view.height() << " view over " << kFiles
              << " files: median " << median << " ms\n";
    EXPECT_LT(median, 20.0);
    // The cells in view hold their pictures; no more bitmaps than the cache allows.
    const QImage shown = viewer.viewport()->grab().toImage();
    const QRect first = viewer.List()->GetAt(0)->GetCellRect();
    const int top = viewer.verticalScrollBar()->value();
    const QPoint middle(2 + 47, (first.height() - top % first.height()) % first.height() + 2 + 39);
    EXPECT_TRUE(Near(shown.pixelColor(middle), Qt::blue)) << shown.pixelColor(middle).name().toStdString();
    size_t holding = 0;
    for (size_t i = 0; i < kFiles; ++i)
        holding += list.GetAt(i)->HasThumbnail() ? 1 : 0;
    EXPECT_LE(holding, 200u);
}

TEST_F(Widgets, PictureWindowFirstSizeAndLaterPictures)
{
    QWidget page;
    CImageViewerDlg viewer(&page);
    const std::string small = Picture("IMAGE_003.png", {40, 30}, Qt::red);
    ASSERT_TRUE(viewer.ShowPicture(QString::fromStdString(small), "IMAGE_003.png"));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&viewer));
    EXPECT_TRUE(viewer.isWindow());
    EXPECT_FALSE(viewer.isModal());
    // Made at least 80 x 60; the window stands 20 pixels in, 40 above the bottom.
    EXPECT_EQ(viewer.size(), QSize(80, 60));
    EXPECT_EQ(viewer.PictureSize(), QSize(40, 30));
    const QRect desk = viewer.screen()->availableGeometry();
    EXPECT_EQ(viewer.frameGeometry().left(), desk.left() + 20);
    EXPECT_EQ(viewer.frameGeometry().bottom(), desk.bottom() - 40);
    EXPECT_EQ(viewer.windowTitle(), "IMAGE_003.png");
    EXPECT_EQ(viewer.accessibleName(), "IMAGE_003.png");
    // Drawn at its own size in the middle of the client area.
    QImage shot = viewer.grab().toImage();
    EXPECT_TRUE(Near(shot.pixelColor(20, 15), Qt::red));
    EXPECT_TRUE(Near(shot.pixelColor(59, 44), Qt::red));
    EXPECT_FALSE(Near(shot.pixelColor(19, 15), Qt::red));

    // The user's size stays for the next picture, which is fitted, never enlarged.
    viewer.resize(300, 200);
    const std::string wide = Picture("IMAGE_004.png", {600, 100}, Qt::green);
    ASSERT_TRUE(viewer.ShowPicture(QString::fromStdString(wide), QString()));
    EXPECT_EQ(viewer.size(), QSize(300, 200));
    EXPECT_EQ(viewer.windowTitle(), "IMAGE_003.png");
    EXPECT_EQ(viewer.Path(), QString::fromStdString(wide));
    shot = viewer.grab().toImage();
    // 600 x 100 in 300 x 200: 300 x 50 at y 75.
    EXPECT_TRUE(Near(shot.pixelColor(150, 75), Qt::green));
    EXPECT_FALSE(Near(shot.pixelColor(150, 74), Qt::green));
    EXPECT_FALSE(Near(shot.pixelColor(150, 125), Qt::green));

    viewer.FreePicture();
    EXPECT_FALSE(viewer.HasPicture());
    EXPECT_TRUE(viewer.isVisible());
    QTest::keyClick(&viewer, Qt::Key_Escape);
    EXPECT_FALSE(viewer.isVisible());
}

TEST_F(Widgets, PictureWindowShowsNothingForWhatDoesNotDecode)
{
    QWidget page;
    CImageViewerDlg viewer(&page);
    const std::string junk = m_home.File("IMAGE_005.JPG");
    ASSERT_TRUE(px::test::WriteFile(junk, std::vector<uint8_t>(3000, 0x5A)));
    EXPECT_FALSE(viewer.ShowPicture(QString::fromStdString(junk), "IMAGE_005.JPG"));
    EXPECT_TRUE(viewer.isVisible());
    EXPECT_FALSE(viewer.HasPicture());
    EXPECT_EQ(viewer.Path(), QString::fromStdString(junk));
    EXPECT_EQ(viewer.size(), QSize(80, 60));
    const QImage empty = viewer.grab().toImage();
    EXPECT_EQ(empty.pixel(0, 0), empty.pixel(40, 30));
    EXPECT_EQ(empty.pixel(0, 0), empty.pixel(79, 59));

    // ShowNothing keeps the window and clears the path.
    const std::string good = Picture("IMAGE_006.png", {40, 30}, Qt::red);
    ASSERT_TRUE(viewer.ShowPicture(QString::fromStdString(good), QString()));
    viewer.hide();
    viewer.ShowNothing("Nothing to show");
    EXPECT_TRUE(viewer.isVisible());
    EXPECT_FALSE(viewer.HasPicture());
    EXPECT_TRUE(viewer.Path().isEmpty());
    EXPECT_EQ(viewer.accessibleName(), "Nothing to show");
    EXPECT_EQ(viewer.grab().toImage().pixel(40, 30), empty.pixel(40, 30));
}
