// The secure desktop (HLD) and cache cleaner (PW) components, which are
// removed without the Windows Installer.
#pragma once

#include <windows.h>

struct CleanupDialog;
struct CleanupState;
class WhatStays;

enum DesktopComponent { kHld, kPw };

void RemoveDesktopComponents(CleanupDialog& dialog, CleanupState& state);
void RemoveDesktopComponent(CleanupState& state, DesktopComponent component);
// The component's class key below classes (a classes root; null: none).
// A key that stays is noted in account, where one is given.
void DeleteComponentClassKey(HKEY classes, DesktopComponent component, WhatStays* account = nullptr);
void CleanLowRegistry(HKEY key, WhatStays* account = nullptr);
int RemoveDataFolder(const wchar_t* folder);
