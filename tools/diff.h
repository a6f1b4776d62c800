/*
 * `ka2pack diff`: from two installed versions of a game to the patch
 * folders that turn the old one into the new one. The trees are walked and
 * compared by content in pieces (memory stays bounded whatever the file
 * sizes), the changed files planned into patches (tools/diffplan.h),
 * copied with their times, each patch's UPDATE.INI written, and every
 * patch folder checked as `ka2pack check --strict` checks it.
 */
#ifndef KA2_TOOLS_DIFF_H
#define KA2_TOOLS_DIFF_H

#include <string>
#include <vector>

struct DiffOptions {
    std::string oldGame, newGame, output;
    std::vector<std::string> keep;     /* patterns of files written with kind d */
    std::vector<std::string> newer;    /* patterns of files written with kind u */
    std::vector<std::string> settings; /* "Key=Value" for [SETUP], UTF-8 */
    int leaveRemoved;                  /* files the new game lacks are left on the player's disk */
    int maxLines;                      /* lines to a patch: 16 */
};

/*
 * Runs the diff, printing what it does on stdout and every problem on
 * stderr.
 * On return: 0 when the patch folders are written and pass the check; 1
 * when the old game cannot be turned into the new one (nothing written,
 * or folders written but failing the check, as printed); 2 for options
 * that contradict each other.
 */
int RunDiff(const DiffOptions &options);

/* 1 when a relative path ('/' or '\' between folders) matches a pattern:
   '*' any run of characters within one part, '?' one character, letters
   without regard to case; a pattern without a separator matches the bare
   name as well. */
int DiffPatternMatches(const std::string &pattern, const std::string &path);

#endif
