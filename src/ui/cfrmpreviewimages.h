#pragma once
// The fourth recovery step: the found files as a grid of thumbnails, each with a keep
// mark; Keep All and Keep None; the number and size of the files kept. Opening a file
// shows a picture in the viewer window, and plays a movie or a sound with the desktop's
// program (from a copy in the temporary folder).
#include <QImage>
#include <QPushButton>

#include <memory>

#include "ui/cfrmroot.h"
#include "widgets/cimageviewerdlg.h"
#include "widgets/cthumbviewer.h"

class CFrmPreviewImages : public CFrmRoot {
    Q_OBJECT
public:
    // thumbs: the found list's thumbnails, which the grid shows.
    CFrmPreviewImages(const CPageContext& context, const CStep& step, CThumbList* thumbs, QWidget* parent = nullptr);
    ~CFrmPreviewImages() override;

    void OnPageShow() override;
    void OnPageHide() override;
    bool CheckReady() override;
    // Opens a found file as a click on its open square does.
    void Open(const CThumb& thumb);
    // Marks every found file to keep, or none.
    void KeepAll(bool keep);

    CThumbViewer* Viewer() const { return m_viewer; }
    CImageViewerDlg* ImageViewer() const { return m_imageViewer.get(); }
    QLabel* Summary() const { return m_summary; }

protected:
    void OnViewerClosing() override;
    void RefreshControls() override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    CThumbList* m_thumbs;
    CThumbViewer* m_viewer;
    std::unique_ptr<CImageViewerDlg> m_imageViewer;
    QPushButton* m_keepAll;
    QPushButton* m_keepNone;
    QLabel* m_summary;
    QImage m_hint;   // "ClickSelect.png", beside the heading
};
