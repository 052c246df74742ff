#pragma once
// What the tests of the wizard's pages share: the application object, a home of their
// own with the program's settings, no card image left over from another test, and the
// services of the wizard answered by the test (FakeServices), which keeps what they were
// asked and starts no program of the desktop.
#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QMessageBox>
#include <QStringList>

#include "platform/volumetable.h"
#include "support/fixtures.h"
#include "support/qtapp.h"
#include "ui/cfrmroot.h"
#include "ui/wizardservices.h"

// Boxes are kept as "title: text"; a question gets `answer` (a box with only OK gets OK);
// the choosers give what the test set and keep what they were offered.
class FakeServices : public CWizardServices {
public:
    using CWizardServices::CWizardServices;

    int Box(BoxKind kind, QWidget*, const QString& text, const QString& title) override
    {
        boxes << title + ": " + text;
        return kind == BoxKind::Message || kind == BoxKind::Warning ? int(QMessageBox::Ok) : answer;
    }
    bool OpenFile(const QString& path) override { return Open(path); }
    bool OpenUrl(const QString& url) override { return Open(url); }
    bool PlaySound(const QString& path) override
    {
        played << path;
        playedAfterMs = sincePlayRequest.elapsed();
        return true;
    }
    QString ChooseFolder(QWidget*, const QString&, const QString&) override { return folder; }
    QString ChooseSaveFile(QWidget*, const QString&, const QString& suggested, const QString&) override
    {
        offered << suggested;
        return file;
    }
    QuitAnswer AskQuit(QWidget*, const QString& text) override
    {
        asked << text;
        return quitAnswer;
    }

    QStringList boxes, opened, played, offered, asked;
    int answer = QMessageBox::No;
    bool opens = true;   // whether the desktop has a program for what is opened
    QString folder, file;
    QuitAnswer quitAnswer = QuitAnswer::Cancel;
    QElapsedTimer sincePlayRequest;
    qint64 playedAfterMs = -1;

private:
    bool Open(const QString& what)
    {
        opened << what;
        return opens;
    }
};

class PageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { px::test::EnsureApplication(); }
    void SetUp() override
    {
        px::VolumeTable::Instance().DetachAll();
        settings.LoadSettings();
        settings.SetHomeFolderText(home.Path());
    }
    void TearDown() override { px::VolumeTable::Instance().DetachAll(); }
    // What a page made on its own (without the main window) is given.
    CPageContext Context(CDriveDoc& doc) { return {doc, bus, services}; }

    px::test::TempHome home;
    CSettings settings;
    FakeServices services{settings};
    CWizardBus bus;
};
