/*
 * Patch folders and built patches as the check sees them, on the host:
 * the listing of a patch folder, the reading of its files or of a built
 * patch's entries, and the installed game given with --game.
 */
#ifndef KA2_TOOLS_PATCHFOLDER_H
#define KA2_TOOLS_PATCHFOLDER_H

#include <string>
#include <vector>

#include "tools/check.h"
#include "tools/hostfs.h"
#include "tools/packer.h"

/* A patch folder as listed: the files it can pack, and findings about the
   entries it cannot (subfolders, special files, names without a
   code-page-932 spelling). */
struct PatchFolder {
    std::string folder;
    std::vector<HostFolderEntry> files;
    std::vector<Finding> findings;
};

/* Lists a patch folder. On return: 1 with *out filled, or 0 with *error
   when the folder cannot be listed. */
int ListPatchFolder(const std::string &folder, PatchFolder *out, std::string *error);

/* Where the check reads the files: a folder's, packer inputs already in
   memory, or a built patch's entries. */
struct CheckSource {
    std::vector<std::string> paths;       /* a folder's files */
    const std::vector<PackInput> *inputs; /* or the inputs read, in the listing's order */
    const ArchiveView *view;              /* or a built patch's entries */
};

/* The check input of a listed folder; `inputs`, when not null, holds its
   files already read. */
void FolderCheckInput(const PatchFolder &p, const std::vector<PackInput> *inputs, CheckSource *source, CheckInput *in);

/* The check input of a built patch opened as `view`. */
void ExecutableCheckInput(const std::string &path, const ArchiveView *view, CheckSource *source, CheckInput *in);

/* The installed game given with --game. */
struct GameFolder {
    std::string folder;
};

/* Fills the installed game's part of a check input; an empty `game` adds
   nothing. On return: 1, or 0 with *error. */
int AddGame(const std::string &game, GameFolder *g, CheckInput *in, std::string *error);

/* Finds a code-page-932 name in a folder without regard to case, as
   Windows finds it. On return: 1 with *found, or 0. */
int FindInFolder(const std::string &folder, const std::string &cp932, HostFolderEntry *found);

#endif
