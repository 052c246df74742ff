#pragma once
// The second recovery step: the camera brands ("Cameras:", several may be selected) and
// the file types offered for them in three check lists (images, video, audio), each
// under a category heading that switches its list on and off. Every change is read back
// into the settings' Brands and FileTypes at once.
#include <QListWidget>
#include <QPushButton>
#include <QToolButton>
#include <QTreeWidget>

#include <array>

#include "ui/cfrmroot.h"

class CFrmFileTypes : public CFrmRoot {
    Q_OBJECT
public:
    // The categories, in the order of the check lists.
    enum Category { Images = 0, Video = 1, Audio = 2 };

    CFrmFileTypes(const CPageContext& context, const CStep& step, QWidget* parent = nullptr);

    // Brand selected, then a file type of it selected; the first failure warns.
    bool CheckReady() override;
    QTreeWidget* Cameras() const { return m_cameras; }
    QListWidget* TypeList(Category category) const { return m_types[category]; }
    QToolButton* CategoryHeading(Category category) const { return m_headings[category]; }
    bool CategorySwitch(Category category) const { return m_switches[category]; }
    QPushButton* SelectAllButton() const { return m_selectAll; }
    // Every type the selected cameras offer checked, every category switched on.
    void SelectAllTypes();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void FillLists();
    void FillTypeLists();
    void ApplySwitches();
    uint32_t SelectedBrands() const;
    void ReadBack();
    void OnBrandsChanged();
    void OnTypeChanged();
    void OnHeadingClicked(Category category);
    // A type list's check marks and its selection are one: the mouse, Space and the
    // accessibility toggle action select, and a selected type is a checked one.
    void OnTypeSelectionChanged(QListWidget* list);

    QTreeWidget* m_cameras;
    QLabel* m_camerasLabel;
    QLabel* m_typesLabel;
    QPushButton* m_selectAll;
    std::array<QListWidget*, 3> m_types {};
    std::array<QToolButton*, 3> m_headings {};
    std::array<bool, 3> m_switches {true, true, true};
    bool m_filling = false;
};
