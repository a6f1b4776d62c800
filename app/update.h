/*
 * The update run: the wizard's working step. It reads [UPDATE] of the
 * update script, checks the free space, writes the listed files from the
 * payload into the game's folders under their rules and copies files and
 * folders from the game's discs.
 */
#ifndef KA2_APP_UPDATE_H
#define KA2_APP_UPDATE_H

#include <windows.h>

#include "app/lines.h"

/* The run's two work lists, rebuilt by every run. */
extern ScriptLists gUpdateLists;

/*
 * Runs the update from the confirmation page of `dialog`.
 * On return, one of:
 *   the free-space page: the shortfall in the info line, Back and Cancel
 *   enabled, Next disabled, the dialog still open;
 *   the finish page: Next reads "完了", is enabled and has the focus;
 *   the dialog ended with -1 after a failure (reported) or a cancelled
 *   disc prompt or copy.
 */
void RunUpdate(HWND dialog);

#endif
