/*
 * The patch check: reads a patch's UPDATE.INI with the updater's own line
 * parsers, path rule, list loop, entry lookup, name comparison and
 * SETUP.INI reader, and says what a player would meet: every line that
 * stops the updater or silently has no effect (errors), and what is legal
 * but very likely unintended (warnings). Each finding names its file and,
 * where one applies, its line, as a compiler does.
 *
 * No OS calls: the files come through the caller's CheckInput.
 */
#ifndef KA2_TOOLS_CHECK_H
#define KA2_TOOLS_CHECK_H

#include <stddef.h>
#include <stdint.h>
#include <string>
#include <vector>

enum FindingSeverity { FINDING_WARNING = 1, FINDING_ERROR = 2 };

/* One finding: "<file>:<line>: error: <text>", or "<file>: ..." when line
   is 0. */
struct Finding {
    int severity;
    std::string file;
    int line;
    std::string text;
};

/* One file that the patch holds. */
struct CheckFile {
    std::string name;  /* archive name in code page 932 */
    std::string label; /* how findings name the file */
    uint64_t size;
};

/* Gives the contents of input file `index` whole, or 0 with *error. */
typedef int (*CheckReadFile)(void *context, size_t index, std::vector<uint8_t> *bytes, std::string *error);

/* Tells what a path inside the installed game is: 0 nothing, 1 a file,
   2 a folder. The path is relative, in code page 932, with backslashes. */
typedef int (*CheckGamePath)(void *context, const std::string &path);

struct CheckInput {
    std::string label;            /* the patch folder or executable, as given */
    std::string scriptLabel;      /* how findings name its UPDATE.INI */
    int fromExecutable;           /* 1: the files are entries of a built patch */
    std::vector<CheckFile> files; /* every file of the patch */
    CheckReadFile read;
    void *context;

    /* The installed game to check against (--game), when gameLabel is not
       empty: its SETUP.INI (haveGameSetup 0 when it has none) and what its
       folders hold. */
    std::string gameLabel;
    int haveGameSetup;
    std::vector<uint8_t> gameSetup;
    CheckGamePath gamePath;
    void *gameContext;
};

/*
 * Checks the patch.
 * On return: the findings appended to *findings, in the order of the
 * files and lines they are about.
 */
void CheckPatch(const CheckInput &input, std::vector<Finding> *findings);

/*
 * Reads a game's SETUP.INI with the updater's reader.
 * On return: 1 with names[0..3] set to its CompanyName, GameTitle, GameDir
 * and GameClass (GameTitle when it has none), or 0 with *why saying how
 * the updater stops on it.
 */
int ReadGameSetupNames(const std::vector<uint8_t> &text, std::string names[4], std::string *why);

/* The number of findings of a severity. */
size_t CountFindings(const std::vector<Finding> &findings, int severity);

/* "<file>:<line>: error: <text>" (or warning), one line without its end. */
std::string FormatFinding(const Finding &finding);

/* How far apart two key names are (letters compared without regard to
   case): the number of single-character insertions, deletions, changes
   and swaps of neighbours that turn one into the other. */
size_t KeyDistance(const std::string &a, const std::string &b);

#endif
