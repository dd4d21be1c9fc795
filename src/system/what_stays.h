// The account of what stays: each vendor trace a run set out to remove and
// could not, with why, as the phases learned it. At the end of the run each
// one is looked at again, and only those still there are reported, so a
// failure is never logged as a success and nothing is claimed unchecked.
#pragma once

#include <windows.h>

#include "system/bounded_string.h"

// Why a trace stayed, as the system said it or the run decided it.
enum class StayReason {
    kNone,            // not known: the line has no parentheses
    kInUse,           // a sharing violation, or someone's oplock
    kAccessDenied,
    kTooDeep,         // below the depth a deletion goes to
    kTooManySubkeys,  // more than one run deletes
    kLinkInside,      // a link that could not be deleted as itself
    kKeptFilling,     // entries kept coming past the bound on one folder
    kOtherUser,       // an installer product of another account
    kEarlierFailure,  // kept on purpose because an earlier removal failed
    kStillInstalled,  // the installer answered, and the product is still there
};

// The reason a failed deletion's last error gives.
StayReason StayReasonOfError(DWORD error);

// Keeps the first known reason: later ones only fill an unknown one.
void KeepFirstReason(StayReason* kept, StayReason why);

// Whether a noted trace is still there; target and extra as noted.
typedef bool (*StillThereProbe)(const wchar_t* target, const wchar_t* extra);

class WhatStays {
public:
    // Forgets every noted trace, for a new run.
    void Clear() { count_ = 0; }

    // Notes a trace by what the line names it, the probe that looks at it
    // again and what the probe is given. The same what noted again keeps
    // one entry, and its first known reason.
    void Note(const wchar_t* what, StayReason why, StillThereProbe probe, const wchar_t* target,
              const wchar_t* extra = nullptr);
    // A file or folder by its full path.
    void NotePath(const wchar_t* path, StayReason why);
    // The subkey name of parent (an open key), by its full path with the
    // root written out, as the system names the key.
    void NoteKey(HKEY parent, const wchar_t* name, StayReason why);

    size_t Count() const { return count_; }
    // The line for noted trace i, "Not removed: what (why)", when it is
    // still there; false, line untouched, when it has gone.
    bool LineIfStill(size_t i, wchar_t* line, size_t units) const;

    static const size_t kLineUnits = 2 * kPathUnits + 80;

private:
    struct Trace {
        wchar_t what[2 * kPathUnits];
        wchar_t target[2 * kPathUnits];
        wchar_t extra[kPathUnits];
        StayReason why;
        StillThereProbe probe;
    };
    // More than any run leaves: the vendor has a few dozen trace roots.
    static const size_t kMaxTraces = 64;
    Trace traces_[kMaxTraces];
    size_t count_ = 0;
};
