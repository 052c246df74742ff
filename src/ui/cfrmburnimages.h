#pragma once
// The optional last recovery step: a backup copy of the folder the last save filled, on
// a recordable disc. The page shows the folder, its number of files and their size;
// Start checks that there is something to write and hands the folder to the card
// document, which copies it to the CD staging area and writes the disc (with progress
// here). The window keeps running while xorriso writes: Cancel stops it, and so does
// closing the window (Ctrl+Q included), which then closes once the burn has ended.
#include <QPushButton>

#include <cstdint>
#include <string>

#include "ui/cfrmroot.h"

class CFrmBurnImages : public CFrmRoot {
    Q_OBJECT
public:
    CFrmBurnImages(const CPageContext& context, const CStep& step, QWidget* parent = nullptr);

    // In order: the totals; a folder at all ("Recovery folder does not exist..." titled
    // "Internal error"); files in it ("The folder is empty." titled "No files to burn").
    // Each failure warns with a balloon at the page.
    bool CheckReady() override;
    // Looks for the recordable drive: without one the progress line tells why ("The
    // recordable drive is missing", xorriso missing, a Burn Drive setting that is no
    // drive) and Start stays disabled.
    void OnPageShow() override;
    bool DriveFound() const { return m_driveFound; }
    QLabel* ProgressText() const { return m_progressText; }
    // The optional step is never required: the wizard goes on from here as it likes.
    bool CanContinue() override { return true; }
    // CheckReady, then the burn; a failure shows the document's error in a balloon
    // titled "Internal error" and on the progress line. Names the disc could not hold are
    // told in a box once the disc is written. True when the disc was written.
    bool OnStart();

    // The folder to write: the save folder joined with the name of the run folder, where
    // the last save put its files; empty while either is unknown.
    std::string FolderToWrite() const { return Document().SaveTarget(); }
    int32_t FileCount() const { return m_nFiles; }
    uint64_t TotalBytes() const { return m_nBytes; }
    QPushButton* StartButton() const { return m_start; }
    QPushButton* CancelButton() const { return m_cancel; }
    QLabel* LocationLabel() const { return m_location; }

protected:
    void OnProgressText(int scope, const QString& text) override;
    void RefreshControls() override;
    void resizeEvent(QResizeEvent* event) override;
    // While a burn runs, a close of the window stops it instead (see OnStart).
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void UpdateTotals();
    // The box that lists the names CdBurner shortened on the disc.
    void ShowShortenedNames();

    std::string m_strFolder;
    int32_t m_nFiles = 0;
    uint64_t m_nBytes = 0;
    bool m_driveFound = false;
    bool m_burning = false;
    bool m_closeAfterBurn = false;

    QLabel* m_totalSizeLabel;
    QLabel* m_totalSize;
    QLabel* m_filesLabel;
    QLabel* m_files;
    QLabel* m_locationLabel;
    QLabel* m_location;
    QPushButton* m_start;
    QPushButton* m_cancel;
};
