// A folder held open while we delete inside it. Nobody else can rename,
// replace or remove it meanwhile, and its entries are listed, opened and
// deleted relative to our handle, so a link put in its place, or anywhere
// above it, cannot steer a deletion somewhere else.
#pragma once

#include <windows.h>

#include "system/bounded_string.h"
#include "system/handles.h"

// One entry as the listing of a held folder gives it.
struct HeldEntry {
    wchar_t name[kPathUnits];
    DWORD attributes;
    DWORD reparseTag;
};

class HeldFolder {
public:
    HeldFolder() = default;
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;

    // Holds the folder at path (no trailing backslash), or the subfolder
    // name of parent, whose whole path is path. removable asks for the right
    // to remove the folder at the end; the hold itself does not depend on
    // it. False, with the last error set, when the folder cannot be held or
    // is no real folder (a link, a file, another reparse point); a subfolder
    // already marked for deletion elsewhere gives ERROR_DELETE_PENDING.
    bool Hold(const wchar_t* path, bool removable);
    bool HoldChild(const HeldFolder& parent, const wchar_t* name, const wchar_t* path);

    // The next entry, "." and ".." excepted. False at the end (last error
    // ERROR_NO_MORE_FILES) or when the listing fails (any other error).
    bool Next(HeldEntry* entry);

    // Deletes the file name of this folder, never a folder, and never what a
    // link points at: an entry that became a link since it was listed goes
    // as the link itself. A read-only file is deleted only when
    // clearReadOnly is set; listedAttributes, the entry's attributes as
    // listed, tell whether it is. A file already marked for deletion
    // elsewhere counts as deleted. False with the last error set, as
    // DeleteFileW would set it.
    bool DeleteFile(const wchar_t* name, DWORD listedAttributes, bool clearReadOnly);

    // Removes the folder, which must be empty by now; the hold ends either
    // way. With waitForPending, while all that is left are names marked for
    // deletion that another program still holds open, it waits for them,
    // five seconds at most in all the run's removals, deleting again each
    // file still listed (Wine 8 shows no sign of a pending deletion; Windows
    // refuses to open such a name).
    bool Remove(bool clearReadOnly, bool waitForPending);

private:
    bool Verify(const wchar_t* path);
    void Rewind();
    bool IsGoing(const HeldEntry& entry, bool clearReadOnly);
    // What the folder still holds: nothing, only entries on their way out,
    // or something that stays.
    enum class Leftovers { kNothing, kGoing, kStaying };
    Leftovers WhatIsLeft(bool clearReadOnly);
    bool RemoveOnceEmpty(bool clearReadOnly, bool waitForPending);

    UniqueHandle handle_;
    bool removable_ = false;
    DWORD attributes_ = 0;  // the folder's own, as the hold found them
    // Listing state: the last batch of entries and where we are in it.
    alignas(8) BYTE batch_[2048];
    ULONG next_ = 0;
    bool batchValid_ = false;
    bool started_ = false;
};

// Gives a new run the whole time to wait for names held elsewhere again.
void StartPendingWaitBudget();
