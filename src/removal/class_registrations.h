// The vendor's class registrations and ProgIDs, and the user's vendor
// folder once the tunnel client is gone.
#pragma once

struct CleanupState;

extern const wchar_t* const kVendorClassIds[6];

void CleanClassRegistrations(const CleanupState& state);
