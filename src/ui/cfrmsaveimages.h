#pragma once
// The fifth recovery step: the destination folder (shown as a link that opens it), the
// prefix of the saved names, whether the files keep the names the camera gave them, the
// number and size of the files kept and the free space where they go, and Save, which
// renames the kept files (by their camera names where the card still knew them, the
// others under the prefix) and moves them into the destination.
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>

#include "ui/cfrmroot.h"

class CFrmSaveImages : public CFrmRoot {
    Q_OBJECT
public:
    CFrmSaveImages(const CPageContext& context, const CStep& step, QWidget* parent = nullptr);

    // The eight checks before a save, in their order; the first failure warns.
    bool CheckReady() override;
    bool CanContinue() override;
    // Saves the kept files; false when the page was not ready or the save failed.
    bool OnStart();
    // Select: the folder chooser, then the destination check.
    void OnSelect();
    // Open: the destination folder in the desktop's file manager.
    void OnOpen();

    QPushButton* Link() const { return m_link; }
    QLineEdit* PrefixEdit() const { return m_prefix; }
    QCheckBox* KeepNamesBox() const { return m_keepNames; }
    QPushButton* SaveButton() const { return m_save; }
    QPushButton* SelectButton() const { return m_select; }
    QPushButton* OpenButton() const { return m_open; }
    QLabel* FreeSpace() const { return m_freeSpace; }

protected:
    bool TakesScope(int scope) const override;
    void OnTransferProgress(const CTransferStatus& status) override;
    void RefreshControls() override;
    void resizeEvent(QResizeEvent* event) override;

private:
    // The destination check: the document accepts the folder, else a warning at Select.
    bool CheckDestination(const QString& folder);
    // The prefix and the names choice into the document's settings, which the save reads.
    void ReadControls();
    // Whether files can be made in folder (made when missing).
    static bool CanWriteInto(const QString& folder);
    // After a failed save: the files left in the work folder back on the found list, and
    // the save not done.
    void KeepUnsavedFiles();

    QLabel* m_locationLabel;
    QPushButton* m_link;
    QPushButton* m_select;
    QPushButton* m_open;
    QLabel* m_prefixLabel;
    QLineEdit* m_prefix;
    QCheckBox* m_keepNames;
    // What the last save put into the save folder, shown in the totals until new files
    // are found (the found list is empty after a save).
    size_t m_savedCount = 0;
    uint64_t m_savedBytes = 0;
    QLabel* m_totalImagesLabel;
    QLabel* m_totalImages;
    QLabel* m_totalSizeLabel;
    QLabel* m_totalSize;
    QLabel* m_freeSpaceLabel;
    QLabel* m_freeSpace;
    QPushButton* m_save;
    QPushButton* m_cancel;
};
