// A folder held open while we delete inside it. Nobody else can rename,
// replace or remove it meanwhile, and its entries are listed, opened and
// deleted relative to our handle, so a link put in its place, or anywhere
// above it, cannot steer a deletion somewhere else.
#pragma once

#include <windows.h>

#include "system/bounded_string.h"
#include "system/handles.h"

// Which deletion mark a volume takes (native_files.h).
struct VolumeAnswer;

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
    // name of parent, by its name as parent's listing gives it, and only
    // when that listing shows a real folder. removable asks for the right to
    // remove the folder at the end; the hold itself does not depend on it.
    // False, with the last error set, when the folder cannot be held or is
    // no real folder (a link, a file, another reparse point: ERROR_DIRECTORY
    // for a subfolder); a subfolder already marked for deletion elsewhere
    // gives ERROR_DELETE_PENDING, and one that someone else's oplock holds
    // kErrorOplockBreakInProgress, once tried again for what is left of the
    // run's waiting time (StartPendingWaitBudget).
    bool Hold(const wchar_t* path, bool removable);
    bool HoldChild(const HeldFolder& parent, const wchar_t* name);

    // Holds the folder at path ("C:\\a\\b", no trailing backslash) reached
    // from the drive root down, each component opened relative to the one
    // before and refused when it is a reparse point (a link, a junction, a
    // mount point) or no plain name. The folders on the way stay held with
    // it, so none of them can be renamed or replaced meanwhile. False, with
    // the last error set, as Hold; a path deeper than kMaxDepth is refused.
    bool HoldFromRoot(const wchar_t* path, bool removable);
    static const int kMaxDepth = 32;

    // Starts the listing over from the first entry.
    void Rewind();

    // The next entry, "." and ".." excepted. False at the end (last error
    // ERROR_NO_MORE_FILES) or when the listing fails (any other error).
    bool Next(HeldEntry* entry);

    // Deletes the file name of this folder, never a folder, and never what a
    // link points at: an entry that became a link since it was listed goes
    // as the link itself. A read-only file is deleted only when
    // clearReadOnly is set; listedAttributes, the entry's attributes as
    // listed, tell whether it is. A file already marked for deletion
    // elsewhere, or gone since it was listed, counts as deleted. A file with
    // more than one name never has its attributes changed: it goes only
    // where the mark can ignore read-only. False with the last error set, as
    // DeleteFileW would set it; kErrorOplockBreakInProgress when someone
    // else's oplock on the file is being broken (held elsewhere).
    bool DeleteFile(const wchar_t* name, DWORD listedAttributes, bool clearReadOnly);

    // Deletes the link name of this folder (a symbolic link, a junction, a
    // mount point) as the link itself, never what it points at: only when
    // the open shows the link itself, which Wine's never does (it opens the
    // target), so there the link stays. False with the last error set.
    bool DeleteLink(const wchar_t* name);

    // Removes the folder, which must be empty by now; the hold ends either
    // way. With waitForPending, while all that is left are names marked for
    // deletion that another program still holds open, it waits for them,
    // five seconds at most in all the run's removals, deleting again each
    // file still listed (Wine 8 shows no sign of a pending deletion; Windows
    // refuses to open such a name).
    bool Remove(bool clearReadOnly, bool waitForPending);

private:
    bool VerifyHandle();
    bool HoldComponent(HANDLE parent, const wchar_t* name, bool removable);
    bool IsGoing(const HeldEntry& entry, bool clearReadOnly);
    // What the folder still holds: nothing, only entries on their way out,
    // or something that stays.
    enum class Leftovers { kNothing, kGoing, kStaying };
    Leftovers WhatIsLeft(bool clearReadOnly);
    bool RemoveOnceEmpty(bool clearReadOnly, bool waitForPending);

    UniqueHandle handle_;
    // What HoldFromRoot opened on the way, the drive root first.
    UniqueHandle above_[kMaxDepth];
    bool removable_ = false;
    DWORD attributes_ = 0;  // the folder's own, as the hold found them
    VolumeAnswer* volume_ = nullptr;
    // Listing state: the last batch of entries and where we are in it.
    alignas(8) BYTE batch_[2048];
    ULONG next_ = 0;
    bool batchValid_ = false;
    bool started_ = false;
};

// Gives a new run the whole time to wait for names held elsewhere again.
void StartPendingWaitBudget();

