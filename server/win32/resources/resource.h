// Resource and control ids of pellicksrv's dialogs and icon, shared by the .rc file and the code.
#ifndef PELLICKSRV_RESOURCE_H
#define PELLICKSRV_RESOURCE_H

#define IDD_RENDER_STATUS 100
#define IDI_PELLICK 101
#define IDD_OPTIONS 102

// "Render Status" value fields, one per row, 1000..1008.
#define IDC_ACTIVE_CPUS 1000
#define IDC_PASSES_RENDERED 1001
#define IDC_TOTAL_PASSES 1002
#define IDC_PERCENT_COMPLETE 1003
#define IDC_START_TIME 1004
#define IDC_ELAPSED_TIME 1005
#define IDC_RECENT_TIME_PER_PASS 1006
#define IDC_EST_REMAINING 1007
#define IDC_EST_COMPLETE_AT 1008

// Options dialog.
#define IDC_SAVE_HTML 1009
#define IDC_HTML_PATH 1010
#define IDC_BROWSE 1011
#define IDC_OPTIONS 1012
#define IDC_MAX_SCALE 1013
#define IDC_PRECISION 1014
#define IDC_SAMPLE 1015

#endif
