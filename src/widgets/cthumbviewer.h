#pragma once
// The grid of found files: every thumbnail of a list in rows as wide as the view, with its keep mark
// (the square at the cell's lower right), its open square (lower left) and between them
// the file's name (the camera's name for it when the card still knew it), scrolled over
// the list's extent. The tooltip of a cell tells the name, when the file was shot, its
// type and its size.
//
// Mouse: a left press on the keep square or the inner picture area turns the keep mark
// over and emits keepChanged; anywhere else in a cell makes that cell current, and on the
// open square then emits openRequested. A press outside every cell does nothing; a double
// click does what one click does. Keyboard: the arrow keys, Home and End move the current
// cell, Space turns its keep mark over, Enter opens it.
//
// Painting draws only the cells in the region to repaint, so a card of thousands of files
// scrolls as quickly as one of ten, and asks the list for the thumbnails of the rows in
// view and one row on either side (CThumbList::RequestThumbnails): with a list that makes
// thumbnails on demand, those are the ones made. A cell whose thumbnail is not ready shows
// its background, frames and squares, and is repainted when the list announces it.
//
// The list's cells must have been placed by Relayout: the painting and hit tests find a
// cell by its row and column. Files added later show after the next Relayout.
//
// Accessibility: the grid is a list whose items are the cells; a cell's name is the name
// under its thumbnail, its description what the tooltip tells, and it is checked while
// its keep mark is set; its two actions turn the mark over and open the file. Moving the
// current cell moves the accessible focus with it.
#include <QAbstractScrollArea>
#include <QFont>
#include <QImage>
#include <QRect>
#include <QStringList>

#include <cstddef>
#include <mutex>
#include <vector>

class CThumb;
class CThumbList;

class CThumbViewer : public QAbstractScrollArea {
    Q_OBJECT
public:
    // The grid starts with a list of its own (CThumbParams::GridList()).
    explicit CThumbViewer(QWidget* parent = nullptr);
    ~CThumbViewer() override;

    // Shows list, laid out at once (Relayout); owned lists are freed by the grid. The
    // previous list is let go (its ready handler cleared, so no worker calls into the
    // grid for it any more) and freed when it was owned. A null list gives the grid a
    // fresh list of its own. Files added later show after the next Relayout.
    void SetList(CThumbList* list, bool owned);
    CThumbList* List() const { return m_list; }
    // Places the list's cells in rows of five and sets the scroll range to their extent.
    void Relayout();

    // The keep square of a cell: 14 x 14, its right and bottom edges 2 pixels inside the
    // cell's.
    static QRect KeepSquare(const QRect& cell);
    // The open square of a cell: 14 x 14, 2 pixels in from the cell's left and bottom.
    static QRect OpenSquare(const QRect& cell);
    // Where the name is written: the cell's bottom row between the two squares, a pixel
    // clear of each.
    static QRect NameRect(const QRect& cell);
    // The name shown for a file: its camera name when known, else its own file name.
    static QString NameOf(const CThumb& thumb);
    // What the tooltip tells of a file, one line each: the name, when it was shot (local
    // time, when known), its type and its size.
    static QStringList DetailsOf(const CThumb& thumb);

    // Thumbnails placed by the last Relayout: the cells the grid shows.
    size_t LaidOut() const { return m_nLaidOut; }
    // The laid-out thumbnail under a point of the viewport, with its index; null outside
    // every cell.
    CThumb* ThumbAt(QPoint viewportPoint, size_t* index = nullptr) const;
    // The index of the current cell; false when no cell is current.
    bool CurrentIndex(size_t* index) const;

    // Cells painted so far, for tests of the repaint rule.
    size_t CellsPainted() const { return m_nCellsPainted; }

    // The grid's columns: as many whole cells as the view is wide, never fewer than five
    // (the window's smallest size shows five, and scrolls sideways when narrower).
    static constexpr int MinColumns = 5;
    int Columns() const { return m_nColumns; }
    // What the keyboard and assistive technology do to a laid-out cell: turn its keep mark
    // over, or ask to open it. False for an index past the laid-out cells.
    bool ToggleKeptAt(size_t index);
    bool OpenAt(size_t index);

signals:
    // After the grid has done its part: the keep mark of thumb was turned over; the user
    // asked to open thumb's file.
    void keepChanged(CThumb* thumb);
    void openRequested(CThumb* thumb);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void scrollContentsBy(int dx, int dy) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool viewportEvent(QEvent* event) override;

private:
    // The grid position of the viewport's upper-left corner.
    QPoint ScrollOffset() const;
    void UpdateScrollBars();
    // The laid-out thumbnail whose cell contains the grid point, with its index; null
    // outside every cell.
    CThumb* CellAt(QPoint grid, size_t* index = nullptr) const;
    // Repaints a cell given in grid coordinates.
    void UpdateCell(const QRect& cell);
    void PaintCell(QPainter& p, CThumb& thumb) const;
    // Asks the list for the thumbnails of the rows in view and their neighbours.
    void RequestVisible();
    // On the user-interface thread: repaints the cells the list announced.
    void FlushReady();
    // Makes the index-th cell current, repaints the old and new ones and scrolls it into
    // view.
    void MoveCurrentTo(size_t index);
    // Tells assistive technology that the index-th cell became current or that its keep
    // mark turned over.
    void AnnounceCurrent(size_t index);
    void AnnounceKept(size_t index);

    CThumbList* m_list = nullptr;
    bool m_bOwned = false;
    size_t m_nLaidOut = 0;  // thumbnails placed by the last Relayout
    int m_nColumns = MinColumns;
    QSize m_extent;
    QImage m_keepSet, m_keepClear, m_open;
    QFont m_nameFont;
    size_t m_nCellsPainted = 0;

    // Filled by the list's workers, emptied on the user-interface thread: announcements
    // are gathered, so a burst of ready thumbnails costs one queued call.
    std::mutex m_readyLock;
    std::vector<size_t> m_ready;
    bool m_bFlushPosted = false;
};
