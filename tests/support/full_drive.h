// A drive that is really full: a small tmpfs mounted for the test (which
// needs root), shown to Wine as a drive letter through a dosdevices link,
// and filled to the last byte. Gone again when the object goes.
#pragma once

#include <string>

class FullDrive {
public:
    FullDrive();
    ~FullDrive();
    FullDrive(const FullDrive&) = delete;
    FullDrive& operator=(const FullDrive&) = delete;

    // The drive's root ("Q:\", say); "" when it could not be made.
    const std::wstring& Root() const { return root_; }

private:
    std::string mountPoint_, link_;
    std::wstring root_;
};
