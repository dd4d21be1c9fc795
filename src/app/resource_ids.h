// Ids of the main window's resources and controls.
#pragma once

#define IDD_MAIN 129
#define IDI_APP 107

#define IDC_START_CLEANUP 1
#define IDC_EXIT 2
#define IDC_CLEAR_CACHE 1000
#define IDC_RESTART 1001
#define IDC_SKIP_TUNNEL 1002
#define IDC_LOG_PANE 1003
#define IDC_SAVE_LOGS 1004
#define IDC_SKIP_DESKTOP 1006
