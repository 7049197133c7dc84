/*
 * The instruction text of the main window and the procedures of the Help and
 * About boxes.
 */
#include <windows.h>
#include <string.h>

#include "app/tavrin.h"

const char InstructionText[] =
    "To use this test, connect a Midi output cable \n"
    "to a Midi input cable.  Select the Output device \n"
    "from the \"Outputs\" menu, and the Input device \n"
    "from the \"Inputs\" menu.  The test will inform \n"
    "you of the results.  To cancel a test at any time, \n"
    "press the \"Cancel\" button.  To quit the test,\n"
    "select \"Exit\" from the File menu.\n";

BOOL PaintInstructions(HWND hwnd)
{
    char szLine[INSTRUCTION_LINE_MAX];
    const char* pszLine = InstructionText;
    const char* pszEnd;
    HDC hdc;
    int x;
    int y;
    size_t n;

    hdc = GetDC(hwnd);
    x = 3 * nLineHeight;
    y = 2 * nLineHeight;

    /* Only complete lines are drawn; text after the last line feed is not. */
    while ((pszEnd = strchr(pszLine, '\n')) != NULL) {
        n = (size_t)(pszEnd - pszLine);
        /* A line longer than the buffer is drawn cut rather than overrunning it. */
        if (n > sizeof(szLine))
            n = sizeof(szLine);
        strncpy(szLine, pszLine, n);
        if (!TextOutA(hdc, x, y, szLine, (int)n)) {
            ReleaseDC(hwnd, hdc);
            return FALSE;
        }
        y += nLineHeight;
        pszLine = pszEnd + 1;
    }
    ReleaseDC(hwnd, hdc);
    return TRUE;
}

/* Both boxes close only on their OK button (or Enter, its default). */
static INT_PTR CloseOnOk(HWND hDlg, UINT msg, WPARAM wParam)
{
    if (msg == WM_COMMAND && LOWORD(wParam) == IDOK) {
        EndDialog(hDlg, 1);
        return TRUE;
    }
    return FALSE;
}

INT_PTR CALLBACK HelpDlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    return CloseOnOk(hDlg, msg, wParam);
}

INT_PTR CALLBACK AboutDlgProc(HWND hDlg, UINT msg, WPARAM wParam, LPARAM lParam)
{
    (void)lParam;
    return CloseOnOk(hDlg, msg, wParam);
}
