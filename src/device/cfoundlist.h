#pragma once
// The card document's found list, as the card document sees it. The recovery layer
// implements it over its list of found files with thumbnails.
#include <cstddef>
#include <cstdint>
#include <string>

class CFoundList {
public:
    virtual ~CFoundList() = default;
    virtual size_t GetCount() const = 0;
    virtual void AddFile(const std::string& path) = 0;
    // The files marked to keep, and their total size in bytes.
    virtual size_t CountKept() const = 0;
    virtual uint64_t KeptSize() const = 0;
    // Deletes every entry (not the files).
    virtual void Clear() = 0;
    // What the card tells of a listed file: its name on the camera's card (empty when not
    // known) and when it was shot (seconds since 1970, 0 when not known).
    virtual void Describe(const std::string& path, const std::string& cameraName, int64_t shotTime) {}
    // The rename pass of a save: kept files renamed to "<prefix>_NNN.ext" by list place
    // (with cameraNames, a file whose camera name is known takes that name, " (2)" added
    // when it is taken), the others deleted. False with the error text (e.g. "Canceled by
    // user").
    virtual bool SaveKept(const std::string& prefix, std::string& error, bool cameraNames = false) = 0;
    // Deletes every listed file and the run folder. False with the error text.
    virtual bool CleanAll(std::string& error) = 0;
    // Moves a folder's files into target/<last folder name of source> file by file.
    // False with the error text.
    virtual bool MoveFolder(const std::string& source, const std::string& target, std::string& error) = 0;
    // Copies a folder's files into target/<last folder name of source> file by file (the
    // CD staging area). False with the error text; a list that cannot copy (the stand-in
    // of a test) fails with "Copy file error".
    virtual bool CopyFolder(const std::string& source, const std::string& target, std::string& error)
    {
        error = "Copy file error";
        return false;
    }
};
