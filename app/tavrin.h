/*
 * The application shell: start-up, the main window, the port menus, the
 * instruction text and the two dialog boxes.
 */
#ifndef TAVRIN_APP_TAVRIN_H
#define TAVRIN_APP_TAVRIN_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Control ids of the two push buttons; also their command values. */
#ifndef IDC_TEST
#define IDC_TEST 1
#endif
#ifndef IDC_CANCEL
#define IDC_CANCEL 2
#endif

#ifndef INPUT_BUFFER_SIZE
#define INPUT_BUFFER_SIZE 4096    /* capture buffer asked for at start-up */
#endif
#define MAX_MENU_PORTS 6          /* ports listed per kind */
#define DEVICE_NAME_LEN 40        /* name buffer handed to MidiGetDeviceName */
#define INSTRUCTION_LINE_MAX 1000 /* line buffer of PaintInstructions */

/* Program-wide state of the shell; alive for the whole run. */
extern HINSTANCE hInst;
extern int nLineHeight;
extern int nWindowWidth;
extern int nWindowHeight;
extern HMENU hMainMenu;

extern const char InstructionText[];

/* winmain.cpp */
BOOL InitApplication(HINSTANCE hInstance);
LRESULT CALLBACK MainWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);
BOOL OnCommand(HWND hwnd, UINT uCommand, LPARAM lParam, HWND hwndTest, HWND hwndCancel);
void ExitCaution(HWND hwnd);

/* devmenu.cpp */
void FillDeviceMenus(HWND hwnd);
void UpdateDeviceMenus(HWND hwnd);
BOOL SelectDevice(HWND hwnd, UINT uCommand);

/* instruct.cpp */
BOOL PaintInstructions(HWND hwnd);
INT_PTR CALLBACK HelpDlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam);
INT_PTR CALLBACK AboutDlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam);

#ifdef __cplusplus
}
#endif

#endif /* TAVRIN_APP_TAVRIN_H */
