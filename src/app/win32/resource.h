// Resource and control ids shared by upkeep.rc and the dialog code.
#ifndef UPKEEP_APP_WIN32_RESOURCE_H_
#define UPKEEP_APP_WIN32_RESOURCE_H_

#define IDD_UPDATE_DIALOG 102
#define IDR_MAINFRAME 128
#define IDD_PROGRESS_PAGE 129
#define IDD_INFO_PAGE 131
#define IDD_TERMS_DIALOG 132

#define IDC_UPDATE 1001
#define IDC_STEP_BAR 1002
#define IDC_OVERALL_BAR 1003
#define IDC_OPERATION 1004
#define IDC_FILE 1005
#define IDC_INFO_TEXT 1007
#define IDC_TERMS_TEXT 1008
#define IDC_SHOW_LOG 1009
#define IDC_STOP 1010

// Version of the stub itself (its own VERSIONINFO), not of any game.
#include "../version.h"

#endif  // UPKEEP_APP_WIN32_RESOURCE_H_
