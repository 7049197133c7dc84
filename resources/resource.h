/*
 * Ids shared by the resource script (tavrin.rc) and the program.
 * Kept to plain #defines of numbers so that windres, the C compiler and the
 * portable build's script reader all read the same file.
 */
#ifndef TAVRIN_RESOURCE_H
#define TAVRIN_RESOURCE_H

/* Icon of the main window class. */
#define IDI_TAVRIN 100

/* Push buttons of the main window; their ids are also their command values. */
#define IDC_TEST 1
#define IDC_CANCEL 2

/* Port items: input port i is IDM_INPUT_FIRST + i, output port i IDM_OUTPUT_FIRST + i. */
#define IDM_INPUT_FIRST 101
#define IDM_OUTPUT_FIRST 107

#define IDM_EXIT 201
#define IDM_HELP 700
#define IDM_ABOUT 701

/* Controls of the dialog boxes: static texts without an id, and the
   help box's one numbered text row. */
#define IDC_STATIC (-1)
#define IDC_HELPROW 75

#endif /* TAVRIN_RESOURCE_H */
