// The wizard's find and preview pages on a card image, offscreen, as the bench scripts
// measure them: the scan through the find page (thumbnails on, the preview ticking), then
// the preview page's grid scrolled from top to bottom. Prints one line of key=value pairs:
//
//   scan_s=12.34 files=5210 grid_rows=1042 paint_median_ms=1.2 paint_max_ms=3.4
//   scroll_max_ms=5.6 rss_peak_mb=123.4
//
//   findpage IMAGE [--types all|default]
//
// HOME and the XDG folders are the caller's (the scripts give it a scratch home).
#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/filetypes.h"
#include "platform/volumetable.h"
#include "recovery/cfoundfiles.h"
#include "ui/cfrmfindimages.h"
#include "ui/cfrmpreviewimages.h"
#include "ui/cpx3aapp.h"
#include "ui/cpxmaindlg.h"
#include "ui/wizardservices.h"

namespace {

// The process's peak resident set (VmHWM), in MB (10^6 bytes).
double PeakRssMb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0)
            return std::stod(line.substr(6)) * 1024 / 1e6;
    return 0;
}

double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: findpage IMAGE [--types all|default]\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    SetWizardMessagePump(true);
    const bool allTypes = !(argc > 3 && std::strcmp(argv[2], "--types") == 0 && std::strcmp(argv[3], "default") == 0);

    std::string error;
    char letter = 'E';
    if (!px::VolumeTable::Instance().Attach(std::string("E=") + argv[1], &letter, &error)) {
        std::fprintf(stderr, "findpage: %s\n", error.c_str());
        return 1;
    }
    CSettings settings;
    settings.LoadSettings();
    if (allTypes) {
        uint32_t all = 0;
        for (const FileTypeRow& row : FileTypeTable())
            all |= row.Bit;
        settings.Record().FileTypes = all;
    }
    settings.Record().ShowPreview = 1;
    CDesktopServices services(settings);
    CPXMainDlg window(services);
    window.show();
    window.Document().Reload();
    window.Document().SelectDrive(letter);
    window.ShowStep(Steps::FindImages);
    auto* find = dynamic_cast<CFrmFindImages*>(window.Page(Steps::FindImages));

    QElapsedTimer clock;
    clock.start();
    const bool ok = find->OnStart();
    const double scan = clock.nsecsElapsed() / 1e9;
    if (!ok)
        std::fprintf(stderr, "findpage: the scan failed\n");
    const size_t files = window.Document().FoundList()->GetCount();

    // The grid: a repaint of the visible cells, then a scroll step at a time to the end,
    // each step painted at once, as a user dragging the scroll bar sees it.
    window.ShowStep(Steps::PreviewImages);
    auto* preview = dynamic_cast<CFrmPreviewImages*>(window.Page(Steps::PreviewImages));
    CThumbViewer* grid = preview->Viewer();
    QCoreApplication::processEvents();
    std::vector<double> paints;
    for (int i = 0; i < 15; ++i) {
        clock.restart();
        grid->viewport()->repaint();
        paints.push_back(clock.nsecsElapsed() / 1e6);
    }
    QScrollBar* bar = grid->verticalScrollBar();
    double scrollMax = 0;
    for (int value = bar->minimum(); value <= bar->maximum(); value += std::max(1, bar->pageStep())) {
        clock.restart();
        bar->setValue(value);
        grid->viewport()->repaint();
        QCoreApplication::processEvents();
        scrollMax = std::max(scrollMax, clock.nsecsElapsed() / 1e6);
    }
    std::printf("scan_s=%.2f files=%zu grid_rows=%zu paint_median_ms=%.2f paint_max_ms=%.2f scroll_max_ms=%.2f "
                "rss_peak_mb=%.1f\n",
                scan, files, (files + 4) / 5, Median(paints), *std::max_element(paints.begin(), paints.end()),
                scrollMax, PeakRssMb());
    SetWizardMessagePump(false);
    return ok ? 0 : 1;
}
