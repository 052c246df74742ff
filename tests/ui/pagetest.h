#pragma once
// What the tests of the wizard's pages share: the application object, a home of their
// own with the program's settings, no card image left over from another test, and the
// desktop's services and the message boxes answered by the test, which keeps what they
// were asked.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QMessageBox>
#include <QStringList>

#include "platform/volumetable.h"
#include "support/fixtures.h"
#include "support/qtapp.h"
#include "ui/cfrmroot.h"
#include "ui/cfrmsaveimages.h"
#include "ui/pagekit.h"

class PageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { px::test::EnsureApplication(); }
    void SetUp() override
    {
        px::VolumeTable::Instance().DetachAll();
        settings.LoadSettings();
        settings.SetHomeFolderText(home.Path());
        // No program of the desktop starts from a test, and no box waits for a click.
        Desktop::SetOpenHook([this](const QString& path) {
            opened << path;
            return true;
        });
        Desktop::SetPlayHook([this](const QString& path) {
            played << path;
            playedAfterMs = sincePlayRequest.elapsed();
            return true;
        });
        SetBoxHook([this](int kind, const QString& text, const QString& title) {
            boxes << title + ": " + text;
            return kind == BoxKind::Confirm ? answer : int(QMessageBox::Ok);
        });
    }
    void TearDown() override
    {
        Desktop::SetOpenHook({});
        Desktop::SetPlayHook({});
        SetBoxHook({});
        CFrmSaveImages::SetFolderChooser({});
        px::VolumeTable::Instance().DetachAll();
    }

    px::test::TempHome home;
    CSettings settings;
    QStringList opened, played, boxes;
    // The confirmation boxes' answer.
    int answer = QMessageBox::No;
    QElapsedTimer sincePlayRequest;
    qint64 playedAfterMs = -1;
};
