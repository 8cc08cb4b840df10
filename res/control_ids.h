/* Dialog template 1 and its controls, shared by the resource script and the
   C++ code, so that both name each control by the same number. Plain
   #defines only: the resource compiler reads this file too. */
#pragma once

#define IDD_MAIN 1
#define IDB_BANNER 1
/* The banner's place in the template, in dialog units. */
#define BANNER_WIDTH 208
#define BANNER_HEIGHT 38

#define IDC_RESULTS_FRAME 101
#define IDC_STAGE1 102
#define IDC_STAGE2 103
#define IDC_STAGE3 104
#define IDC_STAGE4 105
#define IDC_PROGRESS_FRAME 106
#define IDC_VERDICT 107
#define IDC_STAGE5 108
#define IDC_BANNER 109
#define IDC_STAMP_WARNING 110 /* not in template 1: the warning shows nowhere */
#define IDC_BUTTON 111
#define IDC_VERDICT_DETAIL 112
#define IDC_PROGRESS_BAR 1000
