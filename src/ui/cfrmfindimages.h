#pragma once
// The third recovery step: scans the selected card with the recovery job. The counter
// shows the files found, the progress bar and text the way through the card, and the
// small preview above "Show Preview" the found files' thumbnails one after another while
// the scan runs. Start checks the card, then discards the previous run's files; Cancel
// ends the scan between chunks and keeps what was found.
#include <QCheckBox>
#include <QImage>
#include <QPushButton>
#include <QTimer>

#include <cstddef>

#include "ui/cfrmroot.h"

class CThumbList;

class CFrmFindImages : public CFrmRoot {
    Q_OBJECT
public:
    // thumbs: the found list's thumbnails, where the preview comes from.
    CFrmFindImages(const CPageContext& context, const CStep& step, CThumbList* thumbs, QWidget* parent = nullptr);

    void OnPageShow() override;
    void ResetPage() override;
    // Runs the scan to its end (the window stays live meanwhile); false when it could not
    // start or failed.
    bool OnStart();
    bool CanContinue() override;

    bool ScanFinished() const { return m_scanFinished; }
    size_t NextPreview() const { return m_nextPreview; }
    const QImage& Preview() const { return m_preview; }
    QRect PreviewRect() const { return m_previewRect; }
    QLabel* Counter() const { return m_counter; }
    QCheckBox* ShowPreviewBox() const { return m_showPreview; }
    QPushButton* StartButton() const { return m_start; }
    QPushButton* CancelButton() const { return m_cancel; }
    // One tick of the preview timer (every 500 ms).
    void OnTimer();

protected:
    bool TakesScope(int scope) const override;
    void OnFileStarted(const CTransferStatus& status) override;
    void OnFileFound(const CTransferStatus& status) override;
    void OnFileDescribed(const CTransferStatus& status) override;
    void OnTransferProgress(const CTransferStatus& status) override;
    void RefreshControls() override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void DropPreview();
    void OnShowPreviewClicked();

    CThumbList* m_thumbs;
    QLabel* m_counterLabel;
    QLabel* m_counter;
    QCheckBox* m_showPreview;
    QPushButton* m_start;
    QPushButton* m_cancel;
    QTimer m_timer;
    bool m_scanFinished = false;
    size_t m_nextPreview = 0;
    QImage m_preview;
    QRect m_previewRect;
};
