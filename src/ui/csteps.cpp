#include "ui/csteps.h"

#include <QCoreApplication>

namespace {

const QColor kWhite(255, 255, 255);
const QColor kYellow(227, 196, 94);

}  // namespace

const QVector<CStep>& StepTable()
{
    static const QVector<CStep> steps = {
        {3, "1", QCoreApplication::translate("Steps", "Image Recovery: Select Card"), QCoreApplication::translate("Steps", "Image Recovery: Select Card"),
         QCoreApplication::translate("Steps", "Select the card from which you want to recover the images")},
        {4, "2", QCoreApplication::translate("Steps", "Image Recovery: File Types"), QCoreApplication::translate("Steps", "Image Recovery: File Types"),
         QCoreApplication::translate("Steps", "Select the file types to search for on the card")},
        {5, "3", QCoreApplication::translate("Steps", "Image Recovery: Find Images"), QCoreApplication::translate("Steps", "Image Recovery: Find Images"),
         QCoreApplication::translate("Steps", "Pixsalvo will search the card for all recoverable images.")},
        {6, "4", QCoreApplication::translate("Steps", "Image Recovery: Preview Images"), QCoreApplication::translate("Steps", "Image Recovery: Preview Images"),
         QCoreApplication::translate("Steps", "You can display thumbnails of the images that were found and allow\nselection for recovery")},
        {7, "5", QCoreApplication::translate("Steps", "Image Recovery: Save Images"), QCoreApplication::translate("Steps", "Image Recovery: Save Images"),
         QCoreApplication::translate("Steps", "Select where to save the recovered images and an optional name prefix")},
        {8, "6", QCoreApplication::translate("Steps", "Image Recovery: Burn Images (Optional)"), QCoreApplication::translate("Steps", "Image Recovery: Burn Images"),
         QCoreApplication::translate("Steps", "This is an optional step to burn the recovered images to a CD")},
        {13, "4", QCoreApplication::translate("Steps", "Advanced Tools: Support"), QCoreApplication::translate("Steps", "Advanced Tools: Support"),
         QCoreApplication::translate("Steps", "Displays card information to aid Tolvex Media technical support staff.")},
        {12, "3", QCoreApplication::translate("Steps", "Advanced Tools: Erase Card"), QCoreApplication::translate("Steps", "Advanced Tools: Erase Card"),
         QCoreApplication::translate("Steps", "Permanently erases the card contents preventing recovery.")},
        {11, "2", QCoreApplication::translate("Steps", "Advanced Tools: Format Card"), QCoreApplication::translate("Steps", "Advanced Tools: Format Card"),
         QCoreApplication::translate("Steps", "Formats the card using factory specifications.")},
        {10, "1", QCoreApplication::translate("Steps", "Advanced Tools: Test Card"), QCoreApplication::translate("Steps", "Advanced Tools: Test Card"), QCoreApplication::translate("Steps", "Test card for hardware defects or errors")},
    };
    return steps;
}

const CStep* FindStep(int step)
{
    for (const CStep& s : StepTable())
        if (s.Step == step)
            return &s;
    return nullptr;
}

QVector<CMenuEntry> RecoveryMenu()
{
    auto tip = [](int step) { return FindStep(step)->Description; };
    return {
        {0, false, kWhite, 18, 31, QCoreApplication::translate("Steps", "Image Recovery"), 0, {}},
        {0, true, kWhite, 34, 66, QCoreApplication::translate("Steps", "Select Card"), 3, tip(3)},
        {1, true, kWhite, 34, 101, QCoreApplication::translate("Steps", "File Types"), 4, tip(4)},
        {2, true, kWhite, 34, 135, QCoreApplication::translate("Steps", "Find Images"), 5, tip(5)},
        {3, true, kWhite, 34, 171, QCoreApplication::translate("Steps", "Preview Images"), 6, tip(6)},
        {4, true, kWhite, 34, 206, QCoreApplication::translate("Steps", "Save Images"), 7, tip(7)},
        {5, true, kWhite, 34, 241, QCoreApplication::translate("Steps", "Burn Images"), 8, tip(8)},
        {0, false, kWhite, 15, 314, QCoreApplication::translate("Steps", "Advanced Tools"), 0, {}},
        {6, true, kYellow, 15, 336, QCoreApplication::translate("Steps", "View all Tools"), 9,
         QCoreApplication::translate("Steps", "Use Advanced Tools for Test, Format, and Erase Card.\nAlso Support  tool is available.")},
    };
}

QVector<CMenuEntry> ToolsMenu()
{
    auto tip = [](int step) { return FindStep(step)->Description; };
    return {
        {-1, false, kWhite, 18, 32, QCoreApplication::translate("Steps", "Image Recovery"), 0, {}},
        {4, true, kYellow, 14, 56, QCoreApplication::translate("Steps", "Start Recovery"), 2,
         QCoreApplication::translate("Steps", "Image Recovery:\nRecover files from cards whose file system is damaged.")},
        {0, false, kWhite, 18, 119, QCoreApplication::translate("Steps", "Advanced Tools"), 0, {}},
        {0, true, kWhite, 14, 152, QCoreApplication::translate("Steps", "Test Card"), 10, tip(10)},
        {1, true, kWhite, 14, 186, QCoreApplication::translate("Steps", "Format Card"), 11, tip(11)},
        {2, true, kWhite, 14, 222, QCoreApplication::translate("Steps", "Erase Card"), 12, tip(12)},
        {3, true, kWhite, 14, 257, QCoreApplication::translate("Steps", "Support"), 13, tip(13)},
    };
}
