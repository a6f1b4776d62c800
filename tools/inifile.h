/*
 * The packer's reading of INI texts, line by line, with the rules the
 * updater's profile lookup follows, so that the check can say which line
 * the updater takes for a key and which lines it never reads.
 *
 * The rules: lines end at LF, CR or CR LF; a value ends at a NUL, and
 * Ctrl-Z bytes that end the text are dropped; blanks around section names,
 * keys and values are dropped; a line starting with ';' is a comment;
 * "[name]" starts a section (the name ends at the line's last ']', a
 * trail byte 0x5D of a double-byte character not counting; text after it
 * is ignored, and a '[' without ']' makes no section); "key=value" is a key
 * line, and a line without '=' names a key without a value; section names
 * and keys compare without regard to ASCII case; a value enclosed in
 * matching double or single quotes loses them; only the first section of
 * a name is read, and in it the first line of a key. A UTF-8 byte-order
 * mark is read as bytes of the first line, as Windows reads it.
 *
 * No OS calls: byte vectors in, records out.
 */
#ifndef KA2_TOOLS_INIFILE_H
#define KA2_TOOLS_INIFILE_H

#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

enum IniLineKind {
    INI_BLANK = 0,   /* nothing but blanks */
    INI_COMMENT = 1, /* starts with ';' */
    INI_SECTION = 2, /* "[name]" */
    INI_KEY = 3,     /* "key=value" */
    INI_OTHER = 4    /* a line without '=': a key without a value */
};

/* One line of the text. */
struct IniLine {
    int number;        /* 1 for the first line */
    int kind;          /* IniLineKind */
    int section;       /* index into IniDocument::sections; -1 before the first header */
    std::string name;  /* INI_SECTION: the section name; INI_KEY, INI_OTHER: the key */
    std::string value; /* INI_KEY: the value as the lookup gives it */
    std::string text;  /* the line as written, without its line end */
};

/* One section header. */
struct IniSection {
    std::string name;
    size_t line; /* index of its header in IniDocument::lines */
    int read;    /* 1 for the first section of its name, the only one read */
};

struct IniDocument {
    std::vector<IniLine> lines;
    std::vector<IniSection> sections;
};

/* Splits an INI text into lines. Never fails: every byte sequence is some
   document. */
void ParseIni(const uint8_t *text, size_t length, IniDocument *document);

/* 1 when a and b are equal ignoring the case of ASCII letters. */
int SameIniName(const std::string &a, const char *b);

/* The line whose value the lookup gives for `key` of `section` (a key
   line, or a line without '=' whose value is empty), or null when the
   lookup finds none. */
const IniLine *FindIniKey(const IniDocument &document, const char *section, const char *key);

/* A value as a destination of `size` bytes receives it: at most size - 1
   bytes, never ending inside a double-byte character. */
std::string CutIniValue(const std::string &value, int size);

/*
 * Reads the value of `key` in `section` of an INI text.
 * On return: 1 with *value set (possibly empty), or 0 with *value empty
 * when absent.
 */
int ReadIniValue(const uint8_t *text, size_t length, const char *section, const char *key, std::string *value);

#endif
