// Resource and control ids of the applet, shared by its resource script, its code and the
// programs that drive it.
#pragma once

#define IDS_APPLET_NAME 1
#define IDS_APPLET_INFO 2

#define IDI_APPLET_ENTRY 1005
#define IDI_APPLET 1006

#define IDD_APPLET 101

#define IDC_SAVE 4
#define IDC_STATE_TEXT 1000
#define IDC_ADDRESS 1001
#define IDC_ICON_TOP 1002
#define IDC_ICON_LEFT 1003
#define IDC_ICON_RIGHT 1004
#define IDC_ADDRESS_RULE 1007
#define IDC_LINK_TEXT 1008

#define APPLET_CAPTION "Varnok Payment Terminal Service Configuration"
#define APPLET_BOX_CAPTION "DulvexService Control Panel"
