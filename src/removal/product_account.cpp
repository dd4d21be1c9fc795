#include "removal/product_account.h"

#include <msi.h>

#include "removal/installer_api.h"
#include "removal/installer_contexts.h"
#include "system/cleanup_state.h"

namespace {

// Installed for the machine or this account (INSTALLSTATE_DEFAULT),
// advertised, or for some other account (INSTALLSTATE_ABSENT: "installed
// for a different user"); or known for the account userSid names.
bool ProductStillThere(const wchar_t* code, const wchar_t* userSid)
{
    INSTALLSTATE state = Installer().queryProductState(code);
    if (state != INSTALLSTATE_UNKNOWN && state != INSTALLSTATE_INVALIDARG)
        return true;
    return userSid[0] != L'\0' && !IsSurelyNotForUser(code, userSid);
}

}  // namespace

bool MayLeaveProduct(int result)
{
    return result != 0 && result != kNotInstalled && result != kSkipped;
}

void NoteProductStays(const CleanupState& state, const ProductEntry& entry, StayReason why,
                      const wchar_t* userSid)
{
    if (state.whatStays == nullptr || entry.productCode[0] == L'\0')
        return;
    wchar_t what[2 * kPathUnits];
    BoundedFormat(what, 2 * kPathUnits, L"%s %s", entry.displayName, entry.productCode);
    state.whatStays->Note(what, why, ProductStillThere, entry.productCode, userSid);
}
