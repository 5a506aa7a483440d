// Resource, control and command identifiers of the main window and its dialogs.
#pragma once

// Dialog templates
inline constexpr int IDD_MAIN = 101;
inline constexpr int IDR_MAIN_MENU = 102;
inline constexpr int IDD_ABOUT = 125;

// Bitmaps
inline constexpr int IDB_DRIVE = 110;
inline constexpr int IDB_FOLDER_CLOSED = 111;
inline constexpr int IDB_FOLDER_OPEN = 112;
inline constexpr int IDB_FOLDER_CLOSED_DELETED = 113;
inline constexpr int IDB_FOLDER_OPEN_DELETED = 114;
inline constexpr int IDB_FILE = 117;
inline constexpr int IDB_FILE_DELETED = 118;
inline constexpr int IDB_FOLDER_OPEN_LOST = 120;
inline constexpr int IDB_FOLDER_CLOSED_LOST = 121;
inline constexpr int IDB_ABOUT = 127;

// Controls of the main window
inline constexpr int IDC_PROGRESS = 1013;
inline constexpr int IDC_PROGRESS2 = 1014;
inline constexpr int IDC_DIR_TREE = 1015;
inline constexpr int IDC_FILE_LIST = 1016;
inline constexpr int IDC_INFO_TREE = 1017;
inline constexpr int IDC_T_DIRS = 1024;
inline constexpr int IDC_T_FILES = 1025;
inline constexpr int IDC_LBA = 1026;
inline constexpr int IDC_PHY_LIST = 1027;
inline constexpr int IDC_M_BYTES = 1028;
inline constexpr int IDC_T_REM = 1029;
inline constexpr int IDC_M_FILES = 1030;
inline constexpr int IDC_RD_ERR = 1031;
inline constexpr int IDC_LOG_LIST = 1033;
inline constexpr int IDC_STATUS = 1034;
inline constexpr int IDC_STATIC = -1;

// Dialog standard commands (no entry in the main command table)
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;

// Menu commands
inline constexpr int IDM_EXIT = 40001;
inline constexpr int IDM_SCAN_PHYSICAL = 40003;
inline constexpr int IDM_FAST_LOGICAL = 40005;
inline constexpr int IDM_TERMINATE_SCAN = 40009;
inline constexpr int IDM_VERIFY = 40015;
inline constexpr int IDM_FIND_FILES = 40017;
inline constexpr int IDM_HELP_CONTENT = 40018;
inline constexpr int IDM_ABOUT = 40019;
inline constexpr int IDM_COPY_DIRS = 40020;
inline constexpr int IDM_SLOW_LOGICAL = 40022;
inline constexpr int IDM_COPY_FLAT = 40023;
inline constexpr int IDM_FINDER_EXIT = 40027;
inline constexpr int IDM_BUILD_PARTREC = 40036;
inline constexpr int IDM_BUILD_BOOTREC = 40037;
inline constexpr int IDM_CLONE = 40038;
inline constexpr int IDM_WIPE = 40039;
inline constexpr int IDM_SAVE_SCAN = 40042;
inline constexpr int IDM_LOAD_SCAN = 40043;
inline constexpr int IDM_ADD_DATA_STREAM = 40048;
inline constexpr int IDC_DLG_CLOSE = 500;

// Dialog 132 "Clone" and dialog 133 "Wipe it!" (their control ids overlap)
inline constexpr int IDD_CLONE = 132;
inline constexpr int IDD_WIPE = 133;
inline constexpr int IDC_CLONE_EXIT = 1084;
inline constexpr int IDC_CLONE_GO = 1085;
inline constexpr int IDC_CLONE_PICK_SOURCE = 1083;
inline constexpr int IDC_CLONE_SOURCE = 1087;
inline constexpr int IDC_CLONE_PICK_DEST = 1088;
inline constexpr int IDC_CLONE_DEST = 1090;
inline constexpr int IDC_CLONE_LIST = 1093;
inline constexpr int IDC_CLONE_SOURCE_START = 1095;
inline constexpr int IDC_CLONE_DEST_START = 1096;
inline constexpr int IDC_CLONE_TOTAL = 1097;
inline constexpr int IDC_CLONE_REMAINING = 1098;
inline constexpr int IDC_CLONE_PIE = 1150;
inline constexpr int IDC_WIPE_GO = 1096;
inline constexpr int IDC_WIPE_EXIT = 1097;
inline constexpr int IDC_WIPE_PICK = 1098;
inline constexpr int IDC_WIPE_LIST = 1099;
inline constexpr int IDC_WIPE_START = 1100;
inline constexpr int IDC_WIPE_TOTAL = 1101;
inline constexpr int IDC_WIPE_TARGET = 1102;
inline constexpr int IDC_WIPE_DOD = 1103;
inline constexpr int IDC_WIPE_USER = 1104;
inline constexpr int IDC_WIPE_ITERATIONS = 1106;
inline constexpr int IDC_WIPE_REMAINING = 1107;
inline constexpr int IDC_WIPE_PIE = 1151;
inline constexpr int IDM_CLOSE_MAIN = 5000;

// File finder: dialog 123, its menu 124, controls and commands
inline constexpr int IDD_FINDER = 123;
inline constexpr int IDR_FINDER_MENU = 124;
inline constexpr int IDC_FIND_GRAPHIC = 1036;
inline constexpr int IDC_FIND_MAIL = 1037;
inline constexpr int IDC_FIND_TEXT = 1038;
inline constexpr int IDC_FIND_SOUND = 1039;
inline constexpr int IDC_FIND_DATABASE = 1040;
inline constexpr int IDC_FIND_ARCHIVE = 1041;
inline constexpr int IDC_FIND_PATTERNS = 1042;
inline constexpr int IDC_FIND_DELETED = 1043;
inline constexpr int IDC_FINDER_LIST = 1055;
inline constexpr int IDC_FINDER_PROGRESS = 1057;
inline constexpr int IDC_FINDER_FOUND = 1058;
inline constexpr int IDC_FINDER_NOTE = 1059;
inline constexpr int IDM_FINDER_FIND = 40026;
inline constexpr int IDM_FINDER_COPY = 40032;
inline constexpr int IDM_FINDER_MARK_ALL = 40033;
inline constexpr int IDM_FINDER_UNMARK_ALL = 40034;
inline constexpr int IDM_FINDER_STOP_COPY = 40035;

// Build Partition Record (dialog 130) and Build Boot Record (dialog 131)
inline constexpr int IDD_PARTREC = 130;
inline constexpr int IDD_BOOTREC = 131;
inline constexpr int IDC_PR_BOOTABLE = 1060;
inline constexpr int IDC_PR_START_HEAD = 1061;
inline constexpr int IDC_PR_START_SECTOR = 1062;
inline constexpr int IDC_PR_START_CYL = 1063;
inline constexpr int IDC_PR_END_HEAD = 1064;
inline constexpr int IDC_PR_END_SECTOR = 1065;
inline constexpr int IDC_PR_END_CYL = 1066;
inline constexpr int IDC_PR_RESERVED = 1067;
inline constexpr int IDC_PR_TOTAL = 1068;
inline constexpr int IDC_PR_FS = 1069;
inline constexpr int IDC_PR_WRITE = 1070;
inline constexpr int IDC_PR_LBA = 1071;
inline constexpr int IDC_PR_DRIVE = 1072;
inline constexpr int IDC_PR_EXIT = 1059;
inline constexpr int IDC_BR_EXIT = 1073;
inline constexpr int IDC_BR_WRITE = 1074;
inline constexpr int IDC_BR_LBA = 1075;
inline constexpr int IDC_BR_TOTAL = 1076;
inline constexpr int IDC_BR_OS = 1077;
inline constexpr int IDC_BR_FS = 1078;
inline constexpr int IDC_BR_START_CLUSTER = 1079;
inline constexpr int IDC_BR_FAT_SECTORS = 1080;
inline constexpr int IDC_BR_DRIVE = 1082;
inline constexpr int IDC_BR_CLUSTER = 1083;
inline constexpr int IDC_BR_RESERVED = 1190;
inline constexpr int IDC_BR_MFTMIRR = 1191;
// The choice of the entry to replace when all four of a table are used
inline constexpr int IDD_PARTREC_SLOT = 134;
inline constexpr int IDC_SLOT_PROMPT = 1192;
inline constexpr int IDC_SLOT_LIST = 1193;
inline constexpr int IDC_SLOT_REPLACE = 1194;

// System commands
inline constexpr unsigned SC_CLOSE = 0xF060;
