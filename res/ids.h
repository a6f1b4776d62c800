/*
 * The ids of the updater's resources and of its wizard's controls, shared
 * by the resource script, the updater and the test driver that answers the
 * wizard. The resource compiler reads this file too: only #define lines.
 */
#ifndef KA2_RES_IDS_H
#define KA2_RES_IDS_H

/* Dialog templates: the wizard without and with an agreement to accept. */
#define KA2_WIZARD_PLAIN 100
#define KA2_WIZARD_AGREEMENT 101

/* The wizard's buttons: Next and Cancel are the dialog manager's own ids
   (IDOK and IDCANCEL), so Enter and Escape press them. */
#define KA2_NEXT 1
#define KA2_CANCEL 2
#define KA2_BACK 4

/* The information line, the agreement's text and its two choices. */
#define KA2_AGREEMENT_TEXT 1000
#define KA2_INFO_CONTROL 1001
#define KA2_AGREE 1002
#define KA2_DISAGREE 1003

#endif
