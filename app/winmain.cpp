/*
 * Start-up, the main window and its command dispatch.
 */
#include <windows.h>
#include <mmsystem.h>
#include <string.h>

#include "resources/resource.h"
#include "midi/midi.h"
#include "loopback/loopback.h"
#include "app/tavrin.h"

HINSTANCE hInst;
int nLineHeight;
int nWindowWidth;
int nWindowHeight;
HMENU hMainMenu;

static const char szAppName[] = "Tavrin";

/* The two push buttons, Test first: own style word and label. */
static const struct {
    DWORD dwStyle;
    LPCSTR szLabel;
} ButtonTable[2] = {
    {BS_PUSHBUTTON, "TEST"},
    {BS_PUSHBUTTON, "CANCEL"},
};

int WINAPI WinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPSTR lpCmdLine, int nCmdShow)
{
    HDC hdc;
    TEXTMETRICA tm;
    HWND hwndOther;
    MSG msg;

    (void)hPrevInstance;
    (void)lpCmdLine;
    (void)nCmdShow;

    hInst = hInstance;

    /* A display without metrics leaves zeros rather than stack garbage. */
    memset(&tm, 0, sizeof(tm));
    hdc = CreateDCA("DISPLAY", NULL, NULL, NULL);
    GetTextMetricsA(hdc, &tm);
    if (hdc != NULL)
        DeleteDC(hdc);
    nLineHeight = tm.tmHeight + tm.tmExternalLeading;
    nWindowHeight = 14 * nLineHeight + 75;
    nWindowWidth = 50 * tm.tmAveCharWidth + 4 * nLineHeight;

    hwndOther = FindWindowA(szAppName, NULL);
    if (hwndOther != NULL) {
        if (IsIconic(hwndOther))
            ShowWindow(hwndOther, SW_SHOWNORMAL);
        else
            BringWindowToTop(hwndOther);
        MessageBoxA(hwndOther, "Only a single instance of this application can run", szAppName, MB_OK);
        return 0;
    }

    if (!InitApplication(hInstance))
        return 0;

    while (GetMessageA(&msg, NULL, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    return (int)msg.wParam;
}

BOOL InitApplication(HINSTANCE hInstance)
{
    WNDCLASSA wc;
    HWND hwnd;

    wc.style = 0;
    wc.lpfnWndProc = MainWndProc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = hInstance;
    wc.hIcon = LoadIconA(hInstance, MAKEINTRESOURCEA(IDI_TAVRIN));
    wc.hCursor = LoadCursorA(NULL, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)GetStockObject(WHITE_BRUSH);
    wc.lpszMenuName = "TavrinMenu";
    wc.lpszClassName = szAppName;
    if (RegisterClassA(&wc) == 0)
        return FALSE;

    MessageBoxA(NULL, "Warning!\tYou must quit any MIDI applications before running this test.", szAppName,
                MB_OK | MB_ICONWARNING);

    hwnd = CreateWindowExA(0, szAppName, szAppName, WS_OVERLAPPED, CW_USEDEFAULT, CW_USEDEFAULT, nWindowWidth,
                           nWindowHeight, NULL, NULL, hInstance, NULL);
    if (hwnd == NULL)
        return FALSE;

    if (!MidiInit(&MidiInDevice, &MidiOutDevice))
        return FALSE;

    FillDeviceMenus(hwnd);

    MidiInDevice.uDeviceId = 0;
    MidiOutDevice.uDeviceId = 0;

    InputBufferSize = INPUT_BUFFER_SIZE;
    if (!AllocInputBuffer(hwnd, INPUT_BUFFER_SIZE))
        return FALSE;

    ShowWindow(hwnd, SW_SHOWNORMAL);
    UpdateWindow(hwnd);
    return TRUE;
}

static void CreateButtons(HWND hwnd)
{
    int x = (nWindowWidth - 225) / 2;
    int y = 11 * nLineHeight;

    hTestButton = CreateWindowExA(0, "button", ButtonTable[0].szLabel,
                                  WS_CHILD | WS_VISIBLE | ButtonTable[0].dwStyle, x, y, 75, 25, hwnd,
                                  (HMENU)(INT_PTR)IDC_TEST, hInst, NULL);
    hCancelButton = CreateWindowExA(0, "button", ButtonTable[1].szLabel,
                                    WS_CHILD | WS_VISIBLE | WS_DISABLED | ButtonTable[1].dwStyle, x + 150, y, 75,
                                    25, hwnd, (HMENU)(INT_PTR)IDC_CANCEL, hInst, NULL);
}

/*
 * True while the input port may still write into the capture buffer: a reset
 * or close that failed while closing left the buffer queued on an open port.
 */
static BOOL InputBufferHeld(void)
{
    return MidiInDevice.hDevice != NULL && InputBuffer != NULL &&
           MidiInDevice.midiHdr.lpData == (LPSTR)InputBuffer;
}

static LRESULT OnCloseRequest(HWND hwnd)
{
    if (!MidiCloseAll(hwnd, &MidiInDevice, &MidiOutDevice))
        return 0;
    DestroyWindow(hwnd);
    return 1;
}

LRESULT CALLBACK MainWndProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    PAINTSTRUCT ps;
    UINT uCommand;

    switch (msg) {
    case WM_CREATE:
        hMainMenu = GetMenu(hwnd);
        CreateButtons(hwnd);
        return 0;

    case WM_DESTROY:
        /* The process is ending: a buffer the port still holds is left to it. */
        if (!InputBufferHeld())
            FreeInputBuffer();
        if (TestTimer != 0) {
            KillTimer(hwnd, TestTimer);
            TestTimer = 0;
        }
        PostQuitMessage(0);
        return 0;

    case WM_SIZE:
        InvalidateRect(hwnd, NULL, TRUE);
        return 0;

    case WM_PAINT:
        BeginPaint(hwnd, &ps);
        PaintInstructions(hwnd);
        EndPaint(hwnd, &ps);
        return 0;

    case WM_CLOSE:
        OnCloseRequest(hwnd);
        return 0;

    case WM_QUERYENDSESSION:
        return OnCloseRequest(hwnd);

    case WM_ACTIVATEAPP:
        if (MidiInDevice.uDeviceId != NO_DEVICE)
            MidiActivateDevice(hwnd, &MidiInDevice, wParam ? ACTIVATE_OPEN : ACTIVATE_RELEASE);
        if (MidiOutDevice.uDeviceId != NO_DEVICE)
            MidiActivateDevice(hwnd, &MidiOutDevice, wParam ? ACTIVATE_OPEN : ACTIVATE_RELEASE);
        return 0;

    case WM_COMMAND:
        uCommand = (UINT)wParam;
        if (OnCommand(hwnd, uCommand, lParam, hTestButton, hCancelButton))
            return 0;
        break;

    case WM_TIMER:
        OnTestTimeout(hwnd);
        return 0;

    case WM_INITMENU:
        UpdateDeviceMenus(hwnd);
        return 0;

    case MM_MIM_LONGDATA:
        OnInputDone(hwnd);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

static void OpenBox(HWND hwnd, LPCSTR szTemplate, DLGPROC lpDlgProc)
{
    /* GWL_HINSTANCE would cut the instance handle on 64-bit Windows. */
    HINSTANCE hInstance = (HINSTANCE)GetWindowLongPtrA(hwnd, GWLP_HINSTANCE);

    DialogBoxParamA(hInstance, szTemplate, hwnd, lpDlgProc, 0);
}

BOOL OnCommand(HWND hwnd, UINT uCommand, LPARAM lParam, HWND hwndTest, HWND hwndCancel)
{
    (void)lParam;
    (void)hwndTest;
    (void)hwndCancel;

    switch (uCommand) {
    case IDC_TEST:
        StartTest(hwnd);
        return TRUE;
    case IDC_CANCEL:
        CancelTest(hwnd);
        return TRUE;
    case IDM_EXIT:
        ExitCaution(hwnd);
        return TRUE;
    case IDM_HELP:
        OpenBox(hwnd, "TavrinHelpBox", HelpDlgProc);
        return TRUE;
    case IDM_ABOUT:
        OpenBox(hwnd, "AboutBox", AboutDlgProc);
        return TRUE;
    }
    return SelectDevice(hwnd, uCommand);
}

void ExitCaution(HWND hwnd)
{
    MessageBoxA(hwnd,
                "You must disconnect the MIDI output cable from the MIDI input cable before starting any MIDI "
                "applications.",
                "Caution:", MB_OK | MB_ICONWARNING);
    PostMessageA(hwnd, WM_CLOSE, 0, 0);
}
