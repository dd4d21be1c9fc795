// The registry roots the run searches, opened as the real keys:
// HKEY_CLASSES_ROOT is a view merging the machine's classes with the
// user's, and how deleting through it treats links and handles is not
// documented.
#pragma once

#include <windows.h>

#include "system/handles.h"
#include "system/interactive_user.h"

// HKEY_LOCAL_MACHINE "Software\Classes", in the 64-bit view on 64-bit
// Windows. Returns the registry error code.
LONG OpenMachineClasses(RegKey& key);

// The users whose keys the run removes: this process's user
// (HKEY_CURRENT_USER) and, when the desktop belongs to another account
// whose hive is loaded, that user too. Each user's "Software" key and
// classes root; either is null where it is missing.
class UserRegistries {
public:
    UserRegistries();
    UserRegistries(const UserRegistries&) = delete;
    UserRegistries& operator=(const UserRegistries&) = delete;

    size_t Count() const { return count_; }
    HKEY Software(size_t user) const { return users_[user].software.Get(); }
    HKEY Classes(size_t user) const { return users_[user].classes.Get(); }
    // The SID of the second user, whose hive this is; empty when there is none.
    const wchar_t* OtherSid() const { return otherSid_; }

private:
    struct User {
        RegKey software;
        RegKey classes;
    };
    User users_[2];
    size_t count_ = 1;
    wchar_t otherSid_[kSidUnits] = {};
};
