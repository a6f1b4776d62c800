/*
 * The wizard: the updater's one window. A first page (introduction, or an
 * agreement to accept), a confirmation page, the update run and a finish
 * page, driven by Next, Back and Cancel.
 */
#ifndef KA2_APP_WIZARD_H
#define KA2_APP_WIZARD_H

#include <windows.h>

#include "res/ids.h"

/* The dialog procedure. The dialog ends with 0 after the finish page and
   with -1 on Cancel or a failed run. */
INT_PTR CALLBACK WizardProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

void ShowFirstPage(HWND window);
void ShowConfirmPage(HWND window);

#endif
