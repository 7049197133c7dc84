/*
 * One run of the loopback test: the 258-byte SysEx message goes out of the
 * output port while the input port records into the capture buffer; the run
 * ends on the input's notification, on the time-out, or on Cancel.
 * TestTimer is the one flag that says a test is running.
 */
#include <windows.h>
#include <mmsystem.h>
#include <string.h>

#include "loopback/loopback.h"
#include "midi/midi.h"

BYTE TestMessage[TEST_MESSAGE_LEN];
UINT_PTR TestTimer;
HWND hTestButton;
HWND hCancelButton;

UINT BuildTestMessage(void)
{
    UINT i;

    TestMessage[0] = 0xF0;
    for (i = 0; i < 256; i++)
        TestMessage[1 + i] = (BYTE)(i & 0x7F);
    TestMessage[TEST_MESSAGE_LEN - 1] = 0xF7;
    return TEST_MESSAGE_LEN;
}

static void ClearInputBuffer(void)
{
    if (InputBuffer != NULL)
        memset(InputBuffer, 0, InputBufferSize);
}

static void ShowIdleButtons(void)
{
    EnableWindow(hCancelButton, FALSE);
    EnableWindow(hTestButton, TRUE);
}

void StartTest(HWND hwnd)
{
    SetFocus(hwnd);
    ClearInputBuffer();

    if (MidiAssignBuffer(hwnd, &MidiInDevice, (LPSTR)InputBuffer, InputBufferSize, TRUE) != 0) {
        /* A buffer prepared but not queued must not stay prepared on the port. */
        MidiAssignBuffer(hwnd, &MidiInDevice, NULL, 0, FALSE);
        return;
    }
    BuildTestMessage();
    if (MidiAssignBuffer(hwnd, &MidiOutDevice, (LPSTR)TestMessage, TEST_MESSAGE_LEN, TRUE) != 0) {
        MidiAssignBuffer(hwnd, &MidiInDevice, NULL, 0, FALSE);
        return;
    }
    if (MidiRecord(hwnd, &MidiInDevice, TRUE) != 0 || MidiSendLongMsg(hwnd, &MidiOutDevice, TRUE) != 0) {
        MidiAssignBuffer(hwnd, &MidiInDevice, NULL, 0, FALSE);
        MidiAssignBuffer(hwnd, &MidiOutDevice, NULL, 0, FALSE);
        return;
    }
    EnableWindow(hTestButton, FALSE);
    EnableWindow(hCancelButton, TRUE);
    TestTimer = SetTimer(hwnd, TEST_TIMER_ID, TEST_TIMEOUT_MS, NULL);
}

void CancelTest(HWND hwnd)
{
    UINT uOutResult;
    UINT uInResult;

    SetFocus(hwnd);
    if (TestTimer != 0) {
        UINT_PTR uTimer = TestTimer;
        TestTimer = 0;
        KillTimer(hwnd, uTimer);
    }
    if (MidiSendLongMsg(hwnd, &MidiOutDevice, FALSE) != 0)
        return;
    uOutResult = MidiAssignBuffer(hwnd, &MidiOutDevice, NULL, 0, FALSE);
    if (MidiRecord(hwnd, &MidiInDevice, FALSE) != 0)
        return;
    uInResult = MidiAssignBuffer(hwnd, &MidiInDevice, NULL, 0, FALSE);
    if (uOutResult != 0 || uInResult != 0)
        return;
    ShowIdleButtons();
    ClearInputBuffer();
}

/* The tear-down shared by the time-out and the input's notification. */
static BOOL CompleteTearDown(HWND hwnd)
{
    UINT uInResult;
    UINT uOutResult;

    uInResult = MidiRecord(hwnd, &MidiInDevice, FALSE);
    if (uInResult == 0)
        uInResult = MidiAssignBuffer(hwnd, &MidiInDevice, NULL, 0, FALSE);
    uOutResult = MidiAssignBuffer(hwnd, &MidiOutDevice, NULL, 0, FALSE);
    return uInResult == 0 && uOutResult == 0;
}

void OnTestTimeout(HWND hwnd)
{
    UINT_PTR uTimer = TestTimer;

    if (uTimer == 0)
        return;
    KillTimer(hwnd, uTimer);
    TestTimer = 0;
    if (!CompleteTearDown(hwnd))
        return;
    ShowIdleButtons();
    MessageBoxA(hwnd, "Midi loopback timeout, check cable!", "Tavrin", MB_OK | MB_ICONERROR);
}

void OnInputDone(HWND hwnd)
{
    UINT_PTR uTimer;
    WORD wIndex;
    char szText[64];

    if (!CompleteTearDown(hwnd))
        return;
    ShowIdleButtons();
    uTimer = TestTimer;
    if (uTimer == 0)
        return;
    TestTimer = 0;
    KillTimer(hwnd, uTimer);

    wIndex = VerifyLoopback(InputBuffer);
    if (wIndex == TEST_MESSAGE_LEN) {
        MessageBoxA(hwnd, "The test was successful.", "Tavrin", MB_OK);
    } else {
        wsprintfA(szText, "Midi loopback failure!\nByte: 0x%X", (UINT)wIndex);
        MessageBoxA(hwnd, szText, "Tavrin", MB_OK | MB_ICONERROR);
    }
}

WORD VerifyLoopback(const BYTE* lpBuffer)
{
    WORD wIndex = 1;
    UINT k;

    if (lpBuffer[0] != 0xF0)
        return 1;
    for (k = 0; k < 256; k++) {
        if (lpBuffer[wIndex] != (BYTE)(k & 0x7F))
            break;
        wIndex++;
    }
    if (lpBuffer[wIndex] == 0xF7)
        wIndex++;
    return wIndex;
}
