// The tunnel VPN client: its two installer products, registry keys, files
// in the system folder and vendor data folder.
#pragma once

struct CleanupState;

const int kTunnelClientFailed = 9000;
const int kTunnelServiceFailed = 9001;

extern const wchar_t* const kTunnelClientFiles[10];

int RemoveTunnelClient(CleanupState& state);
