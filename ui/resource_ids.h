#pragma once
// Identifiers of the program's resources, shared by the resource scripts and the C++ code (plain macros, so
// that the resource compiler reads them too).

// Dialog templates; 116 is also the system-menu command that opens the About box.
#define IDD_ABOUTBOX 116
#define IDD_MAIN_WINDOW 117
#define IDD_PROGRESS_WINDOW 119

// Icon groups: the program's icon (64, 32, 24, 16 px) and the About box picture (32 px).
#define IDI_UPDATER 113
#define IDI_ABOUT 120

// Controls.
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
#define IDC_PROGRESS_BAR 40001   // progress window
#define IDB_RESOURCE 40003       // main window: "Update!"
#define IDC_SELECT_LANG 40004    // main window: language chooser
#define IDC_STATUS_LIST 40005    // progress window
#define IDC_VERSION_LABEL 40006  // main window: the version to be installed

// The string table, 40000 to 40021, in every interface language.
#define IDS_FIRST 40000
#define IDS_APP_KEY 40000                // "TAVIK_FW_UPDATE", not used by the program
#define IDS_APP_NAME 40001               // "Tavik_FW_Update", not used by the program
#define IDS_UPDATE_STARTED 40002         // status line
#define IDS_PROGRAM_APPLICATION 40003    // status line
#define IDS_PROGRAM_BOOTLOADER1 40004    // status line
#define IDS_PROGRAM_BOOTLOADER2 40005    // status line
#define IDS_VERIFY_DEVICE 40006          // status line
#define IDS_UPDATE_COMPLETED 40007       // status line and information box
#define IDS_UPDATE_FAILED 40008          // status line and error box
#define IDS_CAPTION_INFORMATION 40009    // caption of information boxes and questions
#define IDS_CAPTION_ERROR 40010          // caption of warning and error boxes
#define IDS_DEVICE_IN_APP_MODE 40011     // FWL_ERR_APP_MODE
#define IDS_UPDATE_RUNNING 40012         // FWL_BUSY
#define IDS_DEVICE_NOT_FOUND 40013       // FWL_ERR_NOT_FOUND
#define IDS_FIRMWARE_DATA_INVALID 40014  // any other failure to start
#define IDS_UPDATE_FAILED_UNUSED 40015   // the words of 40008, not used by the program
#define IDS_CONFIRM_ABORT 40016          // question on "Cancel" in the progress window
#define IDS_CONFIRM_QUIT 40017           // question on closing the main window during an update
#define IDS_NEWER_FIRMWARE 40018         // FWL_ERR_NEWER_FIRMWARE
#define IDS_WRONG_DEVICE 40019           // FWL_ERR_WRONG_DEVICE
#define IDS_IMAGE_CORRUPTED 40020        // an embedded image failed its check
#define IDS_VERSION_INVALID 40021        // version label when the images are invalid
#define IDS_LAST 40021
