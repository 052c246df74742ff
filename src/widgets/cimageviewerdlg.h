#pragma once
// The picture window: one found file shown large, in a window of its own beside the
// wizard (not modal; the preview page owns it and hides it when the user leaves).
//
// The first picture shown after the window was built sizes and places it: the picture's
// size, made at least 80 x 60, fitted into the middle of the desktop (its available area
// less a quarter of its width at left and right and a quarter of its height at top and
// bottom) is the client area, and the window stands 20 pixels from the desktop's left
// edge with its frame's bottom 40 pixels above the desktop's bottom. Later pictures keep
// the window where the user left it. The frame's height is the one the platform reports
// once the window exists; a window manager that tells it only after the window is mapped
// leaves the first placement lower by its title bar.
//
// The picture is fitted into the client area (never enlarged) and centred on a dark
// background. Escape hides the window.
//
// A JPEG is first decoded only as large as the window shows it (libjpeg's scaled IDCT: a
// 12-megapixel picture costs a quarter of its full decode and a sixteenth of its memory);
// once the window is made larger than that decode, the picture is decoded at full size.
#include <QDialog>
#include <QImage>
#include <QString>

class CImageViewerDlg : public QDialog {
    Q_OBJECT
public:
    explicit CImageViewerDlg(QWidget* parent = nullptr);

    // Loads the picture at path and shows the window (in its normal state, raised).
    // title, when not empty, becomes the window title. A camera raw file shows the
    // preview the camera embedded, as does a TIFF that does not decode (a CR2 is
    // recovered as one). False when nothing could be decoded: the window then shows an
    // empty client area.
    bool ShowPicture(const QString& path, const QString& title);
    // Drops the picture and the path and shows the window with an empty client area;
    // title, when not empty, becomes the window title.
    void ShowNothing(const QString& title);
    // Drops the picture (its memory), keeping the window as it is.
    void FreePicture();

    bool HasPicture() const { return !m_picture.isNull(); }
    const QString& Path() const { return m_path; }
    // The picture's own size (upright), whatever size it was decoded at.
    QSize PictureSize() const { return m_fullSize; }
    // The size the picture is held at: PictureSize, or less until the window is enlarged.
    QSize DecodedSize() const { return m_picture.size(); }

    // The picture of a file as the window shows it (see ShowPicture); null when nothing
    // decodes.
    static QImage LoadPicture(const QString& path);
    // The same, a JPEG decoded at a reduced size when all of it fits into box (in pixels)
    // that way; *fullSize (when given) gets the picture's own size.
    static QImage LoadPicture(const QString& path, QSize box, QSize* fullSize);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void SetTitle(const QString& title);
    void PlaceFirstTime(QSize picture);
    void Present();
    // Decodes the picture at full size when the window shows it at target (logical
    // pixels) larger than it is held.
    void LoadDetailFor(QSize target);

    QString m_path;
    QImage m_picture;
    QSize m_fullSize;
    QImage m_scaled;  // the picture at the size last painted
    bool m_bPlaced = false;
};
