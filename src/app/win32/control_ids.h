// Numbers of the windows' controls and menu commands. The end-to-end
// driver uses them too, to press what a user would press.
#pragma once

// Main window controls.
#define IDC_TOPBANNER 1001
#define IDC_KESTRIXICON 1002
#define IDC_LABEL1 1003
#define IDC_CURRENTVIRUS 1004
#define IDC_LABEL3 1005
#define IDC_TOTALPROGRESS 1006
#define IDC_FOUNDVIRUS 1007
#define IDC_TOTALNUMBER 1008
#define IDC_VIRUSLIST 1009
#define IDC_BOTTOMBANNER 1010
#define IDC_AUTOKILLV 1011
#define IDC_KILLVIRUS 1012
#define IDC_SKIPVIRUS 1013

// Tray menu.
#define IDM_SHOWMAIN 2001
#define IDM_CONFIGAPP 2002
#define IDM_UPDATEAPP 2003
#define IDM_KESTRIXABOUT 2004
#define IDM_EXITAPP 2005
#define IDM_QUARANTINE 2006

// The tray menu's 保護隨身碟 submenu: the submenu itself, then one command
// per drive letter, A: to Z:.
#define IDM_VACCINE 2200
#define IDM_VACCINE_A 2201
#define IDM_VACCINE_Z 2226

// The list's menu.
#define IDM_STARTSEARCH 2101
#define IDM_KILLSELECTED 2102
#define IDM_PASSIT 2103
#define IDM_THISATTR 2104
#define IDM_CONFIGSOFT 2105
#define IDM_ABOUTSOFT 2106
#define IDM_LISTQUARANTINE 2107

// Options dialog.
#define IDC_IMAGE1 3001
#define IDC_GROUPBOX1 3002
#define IDC_STATICTEXT1 3003
#define IDC_GROUPBOX2 3004
#define IDC_AUTOKILL 3005
#define IDC_AUTOSTART 3006
#define IDC_SKIPFLOOPY 3007
#define IDC_FLATBUTTON1 3008
#define IDC_STATUSBAR 3009
#define IDC_MANAGEDNOTICE 3010
#define IDC_AUTOIMMUNIZE 3011

// The quarantine window.
#define IDC_QUARANTINELIST 4001
#define IDC_QUARANTINERESTORE 4002
#define IDC_QUARANTINERESTORETO 4003
#define IDC_QUARANTINEDELETE 4004
#define IDC_QUARANTINECLOSE 4005

// Window classes.
#define KESTRIX_MAIN_CLASS L"Tconsole"
#define KESTRIX_TRAY_CLASS L"TTrayIconHandler"
#define KESTRIX_OPTIONS_CLASS L"TConfigKestrix"
#define KESTRIX_QUARANTINE_CLASS L"TQuarantine"
