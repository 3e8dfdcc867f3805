// Resource identifiers of the configurator, shared by the resource script and
// the code.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_DRAVOLINIPSECCFG_DIALOG 102

#define IDS_FOREIGN_POLICY_ACTIVE 102
#define IDS_INVALID_ADDRESS 103
#define IDS_INVALID_PORT 104
#define IDS_APPLY_FAILED 105

#define IDC_ADDRESS 1000
#define IDC_PORT 1001
#define IDC_KEY 1002
#define IDC_ACTIVATE 1003

// About box entry of the system menu (commands 16 to 31).
#define IDM_ABOUTBOX 0x0010
#define IDS_ABOUTBOX 101

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
