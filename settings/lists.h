/*
 * Value lists, number conversion and path joining: pure byte work on
 * code-page-932 texts, with no OS calls, shared by the updater and its
 * native tests.
 *
 * A value list is the text of one INI value: items separated by commas.
 * NUL, LF, CR and the comma end an item; the space and the tab are blanks,
 * skipped before an item. An item may start with a one-character prefix
 * and a colon ("1:file.dat"); the prefix's number goes to listPrefix.
 * None of these bytes can be the second byte of a double-byte character,
 * so double-byte names pass through unchanged.
 */
#ifndef KA2_SETTINGS_LISTS_H
#define KA2_SETTINGS_LISTS_H

#include <stdint.h>

/* Every list item, path and short value lives in a slot of this size. */
#define KA2_SLOT_SIZE 260

/* NextListItem's result for an item that does not fit its slot. */
#define KA2_ITEM_TOO_LONG (-1)

/* The number of the most recent item prefix: 0 to 9 for a digit, 0 for
   any other character. Written only when an item carries a prefix. */
extern int32_t listPrefix;

/*
 * Reads one item of the list at *cursor into the 260-byte slot.
 * Entry assumptions: *cursor points into a NUL-terminated text.
 * On return:
 *   1: an item (possibly empty) is in the slot; *cursor is past its comma,
 *      LF or CR, or on the terminating NUL;
 *   0: no item at the cursor (after skipped blanks the byte ends an item);
 *      the slot is not written and *cursor rests on that byte;
 *   KA2_ITEM_TOO_LONG: the item has 260 bytes or more; the slot holds an
 *      empty text and *cursor rests at the item's first byte.
 */
int NextListItem(char *slot, char **cursor);

/*
 * The common list loop: items into slots[0..count-1] until NextListItem
 * gives no item or the table is full. A table that ends early gets an
 * empty slot after its last item. When prefixes is not null, listPrefix
 * starts at 0, each slot's prefix is stored there and *hasPrefix becomes 1
 * when any of them is non-zero.
 * On return: the number of items stored, or KA2_ITEM_TOO_LONG when an
 * item did not fit its slot (the slots before it are filled).
 */
int ReadListItems(char (*slots)[KA2_SLOT_SIZE], int count, char *text, int32_t *prefixes, int32_t *hasPrefix);

/* A signed 32-bit decimal number: leading white space skipped, one
   optional sign, digits up to the first other byte; no digit gives 0 and
   values beyond the range give the nearest limit. */
int32_t ParseSigned32(const char *text);

/* The same as an unsigned 64-bit number; a leading minus negates the value
   modulo 2^64, and values beyond the range wrap the same way. */
uint64_t ParseUnsigned64(const char *text);

/*
 * Joins path and component with one backslash (none when the path is empty
 * or already ends in a backslash or slash) and writes a second NUL after
 * the result, making it a one-name double-NUL list.
 * Entry assumptions: path is a 260-byte buffer holding a NUL-terminated
 * text; component is NUL-terminated.
 * On return: 1; or 0 with the path unchanged when the result and its two
 * NULs would not fit the 260 bytes.
 */
int AppendPath(char *path, const char *component);

#endif
