// Control ids of the main dialog, shared by its template (Main.rc) and its code (MainWin32.cpp).
// Plain defines: the resource compiler reads this file too.
#pragma once

#define IDD_MAIN 100

// In template order, which is the tab order and the order of the dialog's children.
#define IDC_PAGES 1000
#define IDC_PNLKOVA 1001
#define IDC_LABPROCESSOR 1002
#define IDC_CMBPROCESSOR 1003
#define IDC_LABUSER 1004
#define IDC_TXTUSER 1005
#define IDC_CHKINITIAL 1006
#define IDC_LABTALVEXID 1007
#define IDC_TXTHID1 1008
#define IDC_LABIDSEPARATOR 1009
#define IDC_TXTHID2 1010
#define IDC_PNLCOMM 1011
#define IDC_LABCOMPORT 1012
#define IDC_CMBCOMPORT 1013
#define IDC_LABBAUDRATE 1014
#define IDC_CMBBAUDRATE 1015
#define IDC_LABMODBUSADR 1016
#define IDC_CMBMODBUSADR 1017
#define IDC_PNLPROGRESS 1018
#define IDC_LABACTIVITYCAPTION 1019
#define IDC_LABACTIVITY 1020
#define IDC_PROGRESSBAR1 1021
#define IDC_INFOLIST 1022
#define IDC_BTNCONTINUE 1023
#define IDC_BTNEXIT 1024
