// The secure desktop (HLD) and cache cleaner (PW) components, which are
// removed without the Windows Installer.
#pragma once

#include <windows.h>

struct CleanupDialog;
struct CleanupState;

enum DesktopComponent { kHld, kPw };

void RemoveDesktopComponents(CleanupDialog& dialog, CleanupState& state);
void RemoveDesktopComponent(CleanupState& state, DesktopComponent component);
// The component's class key below classes (a classes root; null: none).
void DeleteComponentClassKey(HKEY classes, DesktopComponent component);
void CleanLowRegistry(HKEY key);
int RemoveDataFolder(const wchar_t* folder);
