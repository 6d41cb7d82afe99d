#pragma once
// Window classes and control ids of the updater's windows. The end-to-end
// tests find the controls by these numbers, so keep them stable.

#define RENOVO_CLASS_INICIAL L"Inicial"
#define RENOVO_CLASS_ESPERA L"Espera"
#define RENOVO_TITLE_INICIAL L"Cofrex Tools - Firmware update v1.1"

// Inicial
#define IDC_IMAGE2 100
#define IDC_LIST1 101
#define IDC_LIST2 102
#define IDC_COMMAND1 201
#define IDC_COMMAND2 202
#define IDC_LABEL2 300
#define IDC_LABEL4_0 310
#define IDC_LABEL4_1 311
#define IDC_LABEL4_2 312
#define IDC_LABEL4_3 313
#define IDC_LINE1 320

// Espera
#define IDC_LBLINFO 501
#define IDC_TXTACTUALIZA 502

// Resources of Renovo.exe (the program icon is group 1 with images
// 30001-30004, which the launcher carries as well).
#define IDI_PROGRAM 1
#define IDI_BUTTON 2
#define IDR_LOGO_100 110
#define IDR_LOGO_150 111
#define IDR_LOGO_200 112
