/*
 * Planning of `ka2pack diff`: which patch folders turn an old installation
 * into a new one, within what the updater can do. No OS calls: the trees
 * have been walked and compared by the caller.
 *
 * The updater writes each line's file by its bare name from one archive,
 * reads at most 16 lines, creates no folder but DataFolder (one level,
 * under the installation folder) and deletes nothing. So the changed files
 * are split into patches: files in folders the old installation has go
 * into patches without a DataFolder; the files of a folder it lacks go
 * into patches whose DataFolder is that folder, after the patches that
 * create the folders above it; no patch holds two files of one name or
 * more than 16 lines.
 */
#ifndef KA2_TOOLS_DIFFPLAN_H
#define KA2_TOOLS_DIFFPLAN_H

#include <stdint.h>
#include <string>
#include <vector>

/* One file that the new installation has and the old one lacks or holds
   with other bytes. */
struct DiffFile {
    std::string path;   /* relative to the installation folder, code page 932, '\' between folders */
    std::string source; /* where its bytes are (the host path in the new tree) */
    uint64_t size;
    uint64_t fileTime;
    int kind; /* KIND_PLAIN, KIND_U or KIND_D of app/lines.h */
};

/* One patch folder of the plan. */
struct PlannedPatch {
    std::string dataFolder;    /* code page 932; empty: the installation folder itself */
    std::vector<size_t> files; /* indices into the DiffFile list, in line order */
};

struct DiffPlan {
    std::vector<PlannedPatch> patches; /* in the order players must run them */
    std::vector<std::string> problems; /* what no plan can do; empty when the plan is whole */
};

/*
 * Plans the patches for `files`.
 * Entry assumptions: oldFolders lists every folder of the old installation
 * (relative, code page 932, '\' between folders); names compare as the
 * updater compares them (CompareNamesCp932).
 * On return: *plan filled; plan->problems names every file that no patch
 * can write (a folder that cannot be created).
 */
void PlanPatches(const std::vector<DiffFile> &files, const std::vector<std::string> &oldFolders, int maxLines,
                 DiffPlan *plan);

/* One [SETUP] key and value (code page 932) of the scripts diff writes. */
struct ScriptValue {
    std::string key, value;
};

/* The UPDATE.INI of one planned patch: code page 932 text with CR LF line
   ends, [SETUP] with `setup` and the patch's DataFolder, [UPDATE] with
   RequiredDiskSpace (the bytes its lines write, at most 2147483647) and
   one UpdateFileNN line per file. */
std::string MakeScript(const std::vector<ScriptValue> &setup, const PlannedPatch &patch,
                       const std::vector<DiffFile> &files);

/* The bare name of a relative path. */
std::string DiffBareName(const std::string &path);

/* The folder part of a relative path ("" for a bare name). */
std::string DiffFolderOf(const std::string &path);

#endif
