#pragma once
// Saving and discarding the found files of a recovery run, over the card document's found
// list, in list order:
//  - CPX3SaveImages renames every kept file, in its own folder, to "<prefix>_NNN.ext",
//    NNN being the entry's place in the list (kept or not) and .ext the file's own
//    extension, and deletes the files that are not kept;
//  - CCleanImages deletes every listed file and then the run folder, when that is empty.
// Both let the front end run between two files (px::PumpMessages), so a Cancel message
// (15 with Value1 1) stops them after the current file with "Canceled by user".
//
// Nothing is lost by a rename: a name that is already taken in the folder (say the carved
// IMAGE_006.JPG of a later entry, when the prefix is "IMAGE") is never replaced; the file
// then takes the first free name "<prefix>_NNN(k).ext", k = 1, 2, ... A file that cannot be
// renamed at all keeps its carved name and its entry keeps its path: it stays in the run
// folder and is saved with it. A stopped save therefore leaves every kept file either
// under its carved name or under its new name.
#include <atomic>
#include <cstddef>
#include <string>

#include "app/cworker.h"
#include "jobs/cmsg.h"
#include "jobs/cobj.h"

class CThumb;
class CThumbList;

// The rules for a file name prefix, in their order: not empty after trimming blanks, at
// most 60 bytes, only letters a to z in both cases, digits and underscore. Both front ends
// check a prefix here; each words the problem in its own language.
struct PrefixCheck {
    enum Problem { None, Empty, TooLong, BadCharacter } problem = None;
    std::string character;  // BadCharacter: the first other character, whole (UTF-8)
};
PrefixCheck CheckFilePrefix(const std::string& prefix);
// The problem in the save page's English words ("File prefix must be entered.", "File
// prefix is too long.", "The character '%c' is not allowed in the file name prefix."),
// or empty when the prefix may be used.
std::string FilePrefixProblem(const std::string& prefix);

class CPX3SaveImages : public CListener, public CObj, public CWorker {
public:
    // list: the found list (not owned; may be null: nothing to do). The prefix is trimmed
    // of blanks; an empty one becomes "FILE", and a "/" in it becomes "_" so that no file
    // leaves its folder. Registers on the bus as "CPX3SaveImages".
    // With cameraNames, a kept file whose camera name is known takes that name instead.
    CPX3SaveImages(CThumbList* list, const std::string& prefix, bool cameraNames = false);
    ~CPX3SaveImages() override;
    CPX3SaveImages(const CPX3SaveImages&) = delete;
    CPX3SaveImages& operator=(const CPX3SaveImages&) = delete;

    // Cancel (15): a request with Value1 1, any other value clears it.
    void OnMessage(CSingleMsg& msg) override;
    // The rename pass, announced on the bus (JobStarted, progress 2, 7, 6 per entry and 3
    // with scope 9, JobFinished). False with "Canceled by user" when cancelled; the entries
    // not handled yet keep their files and names.
    virtual bool Run();

    const std::string& GetError() const { return m_strError; }
    const std::string& GetPrefix() const { return m_strPrefix; }

    // "<prefix>_NNN" of the place (printf "%s_%03d").
    static std::string SavedName(const std::string& prefix, size_t place);

protected:
    // Renames the file of the list's entry at place (kept) to the saved name of place (see
    // above).
    void RenameKept(CThumb& thumb, size_t place);

    CThumbList* m_pList;
    std::string m_strText;
    std::string m_strPrefix;
    bool m_bCameraNames = false;
    std::atomic<bool> m_bCancelRequested {false};
    std::string m_strError;
};

class CCleanImages : public CPX3SaveImages {
public:
    explicit CCleanImages(CThumbList* list) : CPX3SaveImages(list, std::string()) {}

    // Deletes every listed file (a file already gone is no failure), then removes the
    // folder of the first entry when it is empty: files that the run did not make stay,
    // and so does the folder that holds them. No bus messages but the cancel it listens
    // for. False with "Canceled by user" when cancelled, or with the first file that
    // could not be deleted ("Cannot delete <file> ==> <reason>"); the other files are
    // still deleted.
    bool Run() override;
};
