#pragma once
// Start-up and shutdown of the wizard. One instance runs at a time; the log is turned on,
// the settings are read once, every picture of the skin is checked for, and then the
// main window runs; shutdown saves the settings once and closes the log, whichever way
// start-up ended. The window system's parts (the message box, the main window) are given
// as hooks, so the order of start-up is the same with or without a display.
#include <QtGlobal>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/csettings.h"

class QLockFile;

class CPX3AApp {
public:
    // Shown through the Message hook, which translates them (context "CPX3AApp").
    static constexpr const char* AlreadyRunningText = QT_TRANSLATE_NOOP("CPX3AApp", "The Pixsalvo 3 is already running");
    static constexpr const char* FilesMissingText = QT_TRANSLATE_NOOP(
        "CPX3AApp", "Error:\r\nOne or more application files are missing.\r\nPlease, reinstall application");

    struct Hooks {
        // A plain message box with an OK button.
        std::function<void(const std::string& text)> Message;
        // Constructs the main window, runs it until it closes and destroys it.
        std::function<void(CSettings& settings)> RunMainWindow;
    };

    CPX3AApp();
    ~CPX3AApp();
    CPX3AApp(const CPX3AApp&) = delete;
    CPX3AApp& operator=(const CPX3AApp&) = delete;

    // The settings of the program (a store file may be set before Run).
    CSettings& Settings() { return m_settings; }
    // The single-instance lock file: "PX3" in the runtime folder unless set.
    void SetLockFile(const std::string& path) { m_lockPath = path; }
    static std::string DefaultLockFile();
    // What start-up says when the lock file cannot be made at all (not held by another
    // instance): the file's place and the system's reason.
    static std::string LockFailedText(const std::string& path);
    // A line for the log once it is open at start-up (a card of PX3_CARDS that could not
    // be attached, with its reason).
    void AddStartNote(const std::string& text) { m_startNotes.push_back(text); }

    // Start-up, the main window, shutdown. False when another instance runs (nothing
    // else was started, no settings were written) or a skin picture is missing (the
    // error box was shown, shutdown ran).
    bool Run(const Hooks& hooks);

    // The presence checks of the skin's pictures in their order, each logged; the
    // splash's result does not count. False at the first other missing file.
    bool CheckSkinFiles() const;

private:
    void Shutdown();

    CSettings m_settings;
    std::string m_lockPath;
    std::vector<std::string> m_startNotes;
    std::unique_ptr<QLockFile> m_lock;
};

// Lets the window run while a job works: between two of the job's chunks the pending
// events are processed, at most once every few milliseconds (a repaint per chunk would
// cost a fast card reader a third of its pace, while 60 frames a second is all an eye
// sees). Off removes the hook.
void SetWizardMessagePump(bool on);
