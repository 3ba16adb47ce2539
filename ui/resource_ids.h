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

// The string table, 40000 to 40022, in every interface language.
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
#define IDS_OPEN_TRACE_FOLDER 40022      // the main window's system menu: opens the trace folder
#define IDS_LAST 40022

// The terminal updater's own texts (41000-): in the string tables of every language, like the window's.
#define IDS_CLI_CONFIRM_START 41000
#define IDS_CLI_YES_LETTER 41001
#define IDS_CLI_ANSWER_HINT 41002
#define IDS_CLI_SECOND_CTRL_C 41003
#define IDS_CLI_NO_UNIT 41004
#define IDS_CLI_SEVERAL_UNITS 41005
#define IDS_CLI_UNIT_NOT_PRESENT 41006
#define IDS_CLI_MODE 41007
#define IDS_CLI_MODE_BOOTLOADER 41008
#define IDS_CLI_MODE_APPLICATION 41009
#define IDS_CLI_MODE_OLD_APPLICATION 41010
#define IDS_CLI_MODE_UNKNOWN 41011
#define IDS_CLI_APPLICATION_VERSION 41012
#define IDS_CLI_BOOTLOADER_VERSION 41013
#define IDS_CLI_FLAGS 41014
#define IDS_CLI_HARDWARE_ID 41015
#define IDS_CLI_IMAGE_APPLICATION 41016
#define IDS_CLI_IMAGE_BOOTLOADER 41017
#define IDS_CLI_HARDWARE_RANGE 41018
#define IDS_CLI_NEXT_STEP_IN 41019
#define IDS_CLI_LEFT 41020
#define IDS_CLI_EXIT_STATUS 41021
#define IDS_CLI_OUTCOME_DONE 41022
#define IDS_CLI_OUTCOME_FAILED 41023
#define IDS_CLI_OUTCOME_REFUSED 41024
#define IDS_CLI_OUTCOME_CANCELLED 41025
#define IDS_CLI_OUTCOME_RUNNING 41026
#define IDS_CLI_TRAY_QUESTION 41027
#define IDS_CLI_TRAY_NONE 41028
#define IDS_CLI_WAITING 41029
#define IDS_CLI_WATCH_ENDS 41030
#define IDS_CLI_UNIT_ARRIVED 41031
#define IDS_CLI_UNIT_QUESTION 41032
#define IDS_CLI_NO_TERMINAL 41033
#define IDS_CLI_UPDATE_VERDICT 41034
#define IDS_CLI_UPDATE_POSSIBLE 41035
#define IDS_CLI_UPDATE_REFUSED 41036
#define IDS_CLI_UNIT_NOW 41037
#define IDS_CLI_UNIT_UNTOUCHED 41038
#define IDS_CLI_UNIT_FIRST_COPY_UNFINISHED 41039
#define IDS_CLI_UNIT_ONE_COPY_WRITTEN 41040
#define IDS_CLI_UNIT_BOTH_COPIES_WRITTEN 41041
#define IDS_CLI_UNIT_UPDATED 41042
#define IDS_CLI_RUN_AGAIN 41043
#define IDS_CLI_HELP_DESCRIPTION 41044
#define IDS_CLI_HELP_HELP 41045
#define IDS_CLI_HELP_VERSION_FLAG 41046
#define IDS_CLI_HELP_UNIT 41047
#define IDS_CLI_HELP_ALL 41048
#define IDS_CLI_HELP_WATCH 41049
#define IDS_CLI_HELP_LANG 41050
#define IDS_CLI_HELP_LANG_WINDOWS 41051
#define IDS_CLI_HELP_TRACE 41052
#define IDS_CLI_HELP_JSON 41053
#define IDS_CLI_HELP_YES 41054
#define IDS_CLI_HELP_DEMO 41055
#define IDS_CLI_HELP_VERBOSE 41056
#define IDS_CLI_HELP_QUIET 41057
#define IDS_CLI_HELP_LIST 41058
#define IDS_CLI_HELP_INFO 41059
#define IDS_CLI_HELP_UPDATE 41060
#define IDS_CLI_HELP_USAGE 41061
#define IDS_CLI_HELP_OPTIONS_BADGE 41062
#define IDS_CLI_HELP_COMMAND_BADGE 41063
#define IDS_CLI_HELP_OPTIONS_GROUP 41064
#define IDS_CLI_HELP_COMMANDS_GROUP 41065
#define IDS_CLI_HELP_PATH 41066
#define IDS_CLI_HELP_FILE 41067
#define IDS_CLI_HELP_LANGUAGE 41068
#define IDS_CLI_HELP_EXIT_TABLE 41069
#define IDS_CLI_HELP_UNKNOWN_COMMAND 41070
#define IDS_CLI_HELP_NO_COMMAND 41071
#define IDS_CLI_HELP_COMMANDS_ARE 41072
#define IDS_CLI_HELP_UNKNOWN_OPTION 41073
#define IDS_CLI_HELP_UNEXPECTED_ARGUMENT 41074
#define IDS_CLI_HELP_UNKNOWN_LANGUAGE 41075
#define IDS_CLI_HELP_NEEDS_VALUE 41076
#define IDS_CLI_HELP_QUIET_AND_VERBOSE 41077
#define IDS_CLI_HELP_UPDATE_ONLY 41078
#define IDS_CLI_HELP_UNIT_WITH_ALL_OR_WATCH 41079
#define IDS_CLI_HELP_ALL_OR_WATCH 41080
#define IDS_CLI_HELP_SHOWS_THE_OPTIONS 41081
#define IDS_CLI_COLON 41082
#define IDS_CLI_CANNOT_WRITE 41083
#define IDS_CLI_TRACE_NOT_WRITTEN 41084
#define IDS_CLI_WRITE_FAILED 41085
#define IDS_CLI_DEMO_PROGRAM 41086
#define IDS_CLI_HELP_CAPTURE 41087
#define IDS_CLI_HELP_REPLAY 41088
#define IDS_CLI_HELP_CAPTURE_ONE_UNIT 41089
#define IDS_CLI_HELP_CAPTURE_FILE 41090
#define IDS_CLI_CAPTURE_INCOMPLETE 41091
#define IDS_CLI_FIRST 41000
#define IDS_CLI_LAST 41091
