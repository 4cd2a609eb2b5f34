/* Resource ids of the installer (shared by the resource script and the code). */
#pragma once

#define IDD_ABOUTBOX            100
#define IDS_ABOUTBOX            101
#define IDD_INSTALLER_DIALOG    102
#define IDS_SERVER_HOST         102
// Kept with the other fixed settings, but read by nothing: the folder recorded for a setup program
// that records none is its processor's Program Files folder (app/InstallFolder.h).
#define IDS_INSTALL_DIR         103
#define IDS_PRODUCT_NAME        104
#define IDS_WINDOW_TITLE        105
#define IDS_SKIN_ID             106
#define IDR_MAINFRAME           128
#define IDB_LANGUAGE_FIRST      243
#define IDB_LANGUAGE_LAST       255
#define IDR_BACKGROUND          261

#define IDC_PROGRESS            1000
#define IDC_ABOUT_VERSION       1003
#define IDC_ABOUT_NOTE          1004
#define ID_LANGUAGE_FIRST       1024
#define ID_LANGUAGE_LAST        1036

#define IDM_ABOUTBOX            0x0010

#ifndef IDC_STATIC
#define IDC_STATIC              (-1)
#endif
