// What the phases of a cleanup run share. One instance per process, owned
// by the run; declared on the floor that every phase sees.
#pragma once

struct CleanupDialog;
class WhatStays;

struct CleanupState {
    bool tunnelRemoved;     // the tunnel client was removed completely
    bool tunnelAbsent;      // the tunnel client was found not installed
    CleanupDialog* dialog;  // whose log pane the phases write to
    bool skipTunnel;        // only while the tunnel phase runs with Skip on
    WhatStays* whatStays;   // what the run could not remove; null: not kept
};
