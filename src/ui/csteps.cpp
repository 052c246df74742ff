#include "ui/csteps.h"

namespace {

const QColor kWhite(255, 255, 255);
const QColor kYellow(227, 196, 94);

}  // namespace

const QVector<CStep>& StepTable()
{
    static const QVector<CStep> steps = {
        {3, "1", "Image Recovery: Select Card", "Image Recovery: Select Card",
         "Select the card from which you want to recover the images"},
        {4, "2", "Image Recovery: File Types", "Image Recovery: File Types",
         "Select the file types to search for on the card"},
        {5, "3", "Image Recovery: Find Images", "Image Recovery: Find Images",
         "Pixsalvo will search the card for all recoverable images."},
        {6, "4", "Image Recovery: Preview Images", "Image Recovery: Preview Images",
         "You can display thumbnails of the images that were found and allow\nselection for recovery"},
        {7, "5", "Image Recovery: Save Images", "Image Recovery: Save Images",
         "Select where to save the recovered images and an optional name prefix"},
        {8, "6", "Image Recovery: Burn Images (Optional)", "Image Recovery: Burn Images",
         "This is an optional step to burn the recovered images to a CD"},
        {13, "4", "Advanced Tools: Support", "Advanced Tools: Support",
         "Displays card information to aid Tolvex Media technical support staff."},
        {12, "3", "Advanced Tools: Erase Card", "Advanced Tools: Erase Card",
         "Permanently erases the card contents preventing recovery."},
        {11, "2", "Advanced Tools: Format Card", "Advanced Tools: Format Card",
         "Formats the card using factory specifications."},
        {10, "1", "Advanced Tools: Test Card", "Advanced Tools: Test Card", "Test card for hardware defects or errors"},
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
        {0, false, kWhite, 18, 31, "Image Recovery", 0, {}},
        {0, true, kWhite, 34, 66, "Select Card", 3, tip(3)},
        {1, true, kWhite, 34, 101, "File Types", 4, tip(4)},
        {2, true, kWhite, 34, 135, "Find Images", 5, tip(5)},
        {3, true, kWhite, 34, 171, "Preview Images", 6, tip(6)},
        {4, true, kWhite, 34, 206, "Save Images", 7, tip(7)},
        {5, true, kWhite, 34, 241, "Burn Images", 8, tip(8)},
        {0, false, kWhite, 15, 314, "Advanced Tools", 0, {}},
        {6, true, kYellow, 15, 336, "View all Tools", 9,
         "Use Advanced Tools for Test, Format, and Erase Card.\nAlso Support  tool is available."},
    };
}

QVector<CMenuEntry> ToolsMenu()
{
    auto tip = [](int step) { return FindStep(step)->Description; };
    return {
        {-1, false, kWhite, 18, 32, "Image Recovery", 0, {}},
        {4, true, kYellow, 14, 56, "Start Recovery", 2,
         "Image Recovery:\nRecover files from cards whose file system is damaged."},
        {0, false, kWhite, 18, 119, "Advanced Tools", 0, {}},
        {0, true, kWhite, 14, 152, "Test Card", 10, tip(10)},
        {1, true, kWhite, 14, 186, "Format Card", 11, tip(11)},
        {2, true, kWhite, 14, 222, "Erase Card", 12, tip(12)},
        {3, true, kWhite, 14, 257, "Support", 13, tip(13)},
    };
}
