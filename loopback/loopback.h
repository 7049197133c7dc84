/*
 * The loopback test: the capture buffer and one run of the test from the
 * Test button to its verdict.
 */
#ifndef TAVRIN_LOOPBACK_LOOPBACK_H
#define TAVRIN_LOOPBACK_LOOPBACK_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

#define INPUT_BUFFER_SIZE 4096
#define TEST_MESSAGE_LEN 258
#define TEST_TIMER_ID 1
#define TEST_TIMEOUT_MS 2000

/* inbuf.cpp: the capture buffer */
extern LPBYTE InputBuffer;
extern HGLOBAL InputBufferHandle;
extern DWORD InputBufferSize;

BOOL AllocInputBuffer(HWND hwnd, DWORD dwSize);
void FreeInputBuffer(void);

/* looptest.cpp: one test run */
extern BYTE TestMessage[TEST_MESSAGE_LEN];
extern UINT_PTR TestTimer;
/* The Test and Cancel buttons, created by the main window. */
extern HWND hTestButton;
extern HWND hCancelButton;

UINT BuildTestMessage(void);
void StartTest(HWND hwnd);
void CancelTest(HWND hwnd);
void OnTestTimeout(HWND hwnd);
void OnInputDone(HWND hwnd);
WORD VerifyLoopback(const BYTE* lpBuffer);

#ifdef __cplusplus
}
#endif

#endif /* TAVRIN_LOOPBACK_LOOPBACK_H */
