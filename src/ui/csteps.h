#pragma once
// The wizard's steps and its two picture menus, as the main window shows them.
#include <QString>
#include <QVector>

#include "widgets/cmenupanel.h"

struct CStep {
    int Step;
    QString Number;        // the number shown in the title bar
    QString Title;         // the title bar's text
    QString PageTitle;     // the page's own title
    QString Description;   // the menu tooltip, stored in the page
};

namespace Steps {
constexpr int Default = 1;
constexpr int SelectCard = 3, FileTypes = 4, FindImages = 5, PreviewImages = 6, SaveImages = 7, BurnImages = 8;
constexpr int TestCard = 10, FormatCard = 11, EraseCard = 12, Support = 13;
// Menu commands that are no steps.
constexpr int StartRecovery = 2, ViewAllTools = 9;

inline bool IsRecovery(int step) { return step >= SelectCard && step <= BurnImages; }
}  // namespace Steps

// The steps in the order their pages are made (3 to 8, then 13, 12, 11, 10).
const QVector<CStep>& StepTable();
const CStep* FindStep(int step);
QVector<CMenuEntry> RecoveryMenu();
QVector<CMenuEntry> ToolsMenu();
