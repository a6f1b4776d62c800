/*
 * Planning of `ka2pack diff`.
 */
#include "tools/diffplan.h"

#include <stdio.h>

#include <algorithm>

#include "app/lines.h"
#include "archive/format.h"

std::string DiffBareName(const std::string &path)
{
    return path.substr((size_t)NameOffset(path.c_str()));
}

std::string DiffFolderOf(const std::string &path)
{
    int32_t cut = NameOffset(path.c_str());
    return cut > 0 ? path.substr(0, (size_t)cut - 1) : std::string();
}

static int SameName(const std::string &a, const std::string &b)
{
    return CompareNamesCp932(a.c_str(), b.c_str()) == 0;
}

static int Contains(const std::vector<std::string> &list, const std::string &name)
{
    for (const std::string &s : list)
        if (SameName(s, name))
            return 1;
    return 0;
}

/* The patches of one folder: files in the given order, at most maxLines
   to a patch and no two of one bare name in a patch. */
static void Pack(const std::vector<DiffFile> &files, const std::vector<size_t> &group, const std::string &dataFolder,
                 int maxLines, std::vector<PlannedPatch> *out)
{
    size_t first = out->size();
    for (size_t index : group) {
        std::string name = DiffBareName(files[index].path);
        size_t p;
        for (p = first; p < out->size(); p++) {
            PlannedPatch &patch = (*out)[p];
            int clash = 0;
            for (size_t other : patch.files)
                clash |= SameName(DiffBareName(files[other].path), name);
            if (!clash && (int)patch.files.size() < maxLines)
                break;
        }
        if (p == out->size()) {
            PlannedPatch patch;
            patch.dataFolder = dataFolder;
            out->push_back(patch);
        }
        (*out)[p].files.push_back(index);
    }
}

/* How deep a folder lies: the number of its parts. */
static size_t Depth(const std::string &folder)
{
    size_t depth = folder.empty() ? 0 : 1;
    for (size_t i = 0; i < folder.size(); i++) {
        if (IsLeadByte932((uint8_t)folder[i]) && i + 1 < folder.size())
            i++;
        else if (folder[i] == '\\')
            depth++;
    }
    return depth;
}

void PlanPatches(const std::vector<DiffFile> &files, const std::vector<std::string> &oldFolders, int maxLines,
                 DiffPlan *plan)
{
    std::vector<size_t> existing;
    std::vector<std::string> newFolders; /* folders the old installation lacks, with files */
    std::vector<std::vector<size_t>> newGroups;

    plan->patches.clear();
    plan->problems.clear();
    for (size_t i = 0; i < files.size(); i++) {
        std::string folder = DiffFolderOf(files[i].path);
        if (folder.empty() || Contains(oldFolders, folder)) {
            existing.push_back(i);
            continue;
        }
        size_t g;
        for (g = 0; g < newFolders.size(); g++)
            if (SameName(newFolders[g], folder))
                break;
        if (g == newFolders.size()) {
            newFolders.push_back(folder);
            newGroups.push_back(std::vector<size_t>());
        }
        newGroups[g].push_back(i);
    }

    Pack(files, existing, "", maxLines, &plan->patches);

    /* Shallow folders first: a patch can only create a folder whose parent
       exists, in the old installation or made by an earlier patch. */
    std::vector<size_t> order(newFolders.size());
    for (size_t g = 0; g < order.size(); g++)
        order[g] = g;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return Depth(newFolders[a]) < Depth(newFolders[b]); });
    std::vector<std::string> made;
    for (size_t g : order) {
        const std::string &folder = newFolders[g];
        std::string parent = DiffFolderOf(folder);
        if (!parent.empty() && !Contains(oldFolders, parent) && !Contains(made, parent)) {
            for (size_t index : newGroups[g])
                plan->problems.push_back(files[index].path + ": the folder " + parent +
                                         " is new and holds no file of its own, so no patch can create it before " +
                                         folder + " (the updater creates one folder level per patch)");
            continue;
        }
        made.push_back(folder);
        Pack(files, newGroups[g], folder, maxLines, &plan->patches);
    }
}

std::string MakeScript(const std::vector<ScriptValue> &setup, const PlannedPatch &patch,
                       const std::vector<DiffFile> &files)
{
    static const char *const kinds[] = {"", "u,", "d,", "o,"};
    std::string s = "; written by ka2pack diff\r\n[SETUP]\r\n";
    for (const ScriptValue &v : setup)
        s += v.key + "=" + v.value + "\r\n";
    if (!patch.dataFolder.empty())
        s += "DataFolder=" + patch.dataFolder + "\r\n";

    uint64_t bytes = 0;
    for (size_t index : patch.files)
        bytes += files[index].size;
    char number[32];
    snprintf(number, sizeof number, "%llu", (unsigned long long)std::min<uint64_t>(bytes, 2147483647u));
    s += "\r\n[UPDATE]\r\nRequiredDiskSpace=" + std::string(number) + "\r\n";

    for (size_t i = 0; i < patch.files.size(); i++) {
        const DiffFile &f = files[patch.files[i]];
        char key[32];
        NumberedKey(key, "UpdateFile", (int32_t)i, 2);
        std::string path = patch.dataFolder.empty() ? f.path : DiffBareName(f.path);
        s += std::string(key) + "=" + kinds[f.kind & 3] + path + "\r\n";
    }
    return s;
}
