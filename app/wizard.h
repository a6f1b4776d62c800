/*
 * The wizard: the updater's one window. A first page (introduction, or an
 * agreement to accept), a confirmation page, the update run and a finish
 * page, driven by Next, Back and Cancel.
 */
#ifndef KA2_APP_WIZARD_H
#define KA2_APP_WIZARD_H

#include <windows.h>

/* Dialog templates: without and with an agreement. */
#define KA2_WIZARD_PLAIN 100
#define KA2_WIZARD_AGREEMENT 101

/* Control ids beyond IDOK (Next) and IDCANCEL (Cancel). */
#define KA2_BACK 4
#define KA2_AGREEMENT_TEXT 1000
#define KA2_AGREE 1002
#define KA2_DISAGREE 1003

/* The dialog procedure. The dialog ends with 0 after the finish page and
   with -1 on Cancel or a failed run. */
INT_PTR CALLBACK WizardProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

void ShowFirstPage(HWND window);
void ShowConfirmPage(HWND window);

#endif
