// Installer products in the account of what stays: noted by the phases
// where a removal's result is known, looked at again at the run's end.
#pragma once

#include "removal/product_removal.h"
#include "system/what_stays.h"

struct CleanupState;

// Whether a product result leaves the product to be looked at again at
// the run's end: any but a removal, a product not there, or one left by
// the Skip option. A removal the installer answers as done is taken at its
// word: asking again costs each product a few percent of a typical
// run under Wine.
bool MayLeaveProduct(int result);

// Notes entry ("name {code}") in the run's account, if it keeps one.
// userSid names another account the product may be installed for, whose
// installations this account's installer does not show; null for none.
void NoteProductStays(const CleanupState& state, const ProductEntry& entry, StayReason why,
                      const wchar_t* userSid = nullptr);
