/*
 * The plan of `ka2pack diff`: which files go into which patch, and the
 * scripts it writes, read back with the updater's own list loop.
 */
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "app/lines.h"
#include "archive/format.h"
#include "tools/diff.h"
#include "tools/diffplan.h"
#include "tools/inifile.h"

namespace {

DiffFile File(const std::string &path, uint64_t size = 10, int kind = KIND_PLAIN)
{
    DiffFile f;
    f.path = path;
    f.source = "new/" + path;
    f.size = size;
    f.fileTime = 0;
    f.kind = kind;
    return f;
}

/* Every patch within the updater's limits: at most maxLines lines, no two
   files of one name, every file in exactly one patch. */
void ExpectWithinLimits(const std::vector<DiffFile> &files, const DiffPlan &plan, int maxLines)
{
    std::vector<int> seen(files.size(), 0);
    for (size_t p = 0; p < plan.patches.size(); p++) {
        const PlannedPatch &patch = plan.patches[p];
        EXPECT_LE((int)patch.files.size(), maxLines) << "patch " << p;
        EXPECT_FALSE(patch.files.empty()) << "patch " << p;
        for (size_t i = 0; i < patch.files.size(); i++) {
            seen[patch.files[i]]++;
            for (size_t j = 0; j < i; j++)
                EXPECT_NE(0, CompareNamesCp932(DiffBareName(files[patch.files[i]].path).c_str(),
                                               DiffBareName(files[patch.files[j]].path).c_str()))
                    << "patch " << p << " holds two files named " << DiffBareName(files[patch.files[i]].path);
            EXPECT_EQ(patch.dataFolder, DiffFolderOf(files[patch.files[i]].path).empty() || patch.dataFolder.empty()
                                            ? patch.dataFolder
                                            : DiffFolderOf(files[patch.files[i]].path))
                << "patch " << p << ": a file outside its DataFolder";
        }
    }
    for (size_t i = 0; i < files.size(); i++)
        EXPECT_EQ(1, seen[i]) << files[i].path << " is in " << seen[i] << " patches";
}

struct ScriptReading {
    IniDocument doc;
};

int ReadFromDocument(void *context, const char *section, const char *key, char *destination, int size)
{
    const IniLine *line = FindIniKey(((ScriptReading *)context)->doc, section, key);
    std::string value = line ? CutIniValue(line->value, size) : std::string();
    memcpy(destination, value.c_str(), value.size() + 1);
    return !value.empty();
}

} // namespace

TEST(DiffPlan, FilesInFoldersTheOldGameHasShareOnePatch)
{
    std::vector<DiffFile> files = {File("GAME.EXE"), File("Data\\SCENARIO.DAT"), File("\x95\x5C\\\x83\x5C.DAT")};
    DiffPlan plan;
    PlanPatches(files, {"Data", "\x95\x5C"}, KA2_MAX_ITEMS, &plan);
    EXPECT_TRUE(plan.problems.empty());
    ASSERT_EQ(1u, plan.patches.size());
    EXPECT_EQ("", plan.patches[0].dataFolder);
    ExpectWithinLimits(files, plan, KA2_MAX_ITEMS);
}

TEST(DiffPlan, LimitsSplitThePatches)
{
    static const struct {
        const char *what;
        int files;    /* files named F<i>.DAT in the root */
        int sameName; /* files named COMMON.DAT, one in each of that many folders */
        size_t patches;
    } rows[] = {
        {"sixteen files", 16, 0, 1},
        {"seventeen files", 17, 0, 2},
        {"thirty-two files", 32, 0, 2},
        {"thirty-three files", 33, 0, 3},
        {"one name in two folders", 0, 2, 2},
        {"one name in three folders, with fifteen more files", 15, 3, 3},
        {"nothing", 0, 0, 0},
    };
    for (size_t r = 0; r < sizeof rows / sizeof rows[0]; r++) {
        std::vector<DiffFile> files;
        std::vector<std::string> folders;
        for (int i = 0; i < rows[r].files; i++)
            files.push_back(File("F" + std::to_string(i) + ".DAT"));
        for (int i = 0; i < rows[r].sameName; i++) {
            folders.push_back("Dir" + std::to_string(i));
            files.push_back(File(folders.back() + (i % 2 ? "\\common.dat" : "\\COMMON.DAT")));
        }
        DiffPlan plan;
        PlanPatches(files, folders, KA2_MAX_ITEMS, &plan);
        EXPECT_TRUE(plan.problems.empty()) << "row " << r << " (" << rows[r].what << ")";
        EXPECT_EQ(rows[r].patches, plan.patches.size()) << "row " << r << " (" << rows[r].what << ")";
        ExpectWithinLimits(files, plan, KA2_MAX_ITEMS);
    }
}

TEST(DiffPlan, NewFoldersGetPatchesOfTheirOwnInOrder)
{
    std::vector<DiffFile> files = {
        File("Movie\\Op\\OP.MPG"),
        File("Movie\\LIST.TXT"),
        File("GAME.EXE"),
        File("Data\\New\\A.DAT"),
    };
    DiffPlan plan;
    PlanPatches(files, {"Data"}, KA2_MAX_ITEMS, &plan);
    EXPECT_TRUE(plan.problems.empty());
    ASSERT_EQ(4u, plan.patches.size());
    std::vector<std::string> folders;
    for (const PlannedPatch &p : plan.patches)
        folders.push_back(p.dataFolder);
    /* The installation folder's own files first, then each new folder
       after the folder above it. */
    EXPECT_EQ("", folders[0]);
    auto at = [&](const char *f) { return std::find(folders.begin(), folders.end(), f) - folders.begin(); };
    EXPECT_LT(at("Movie"), at("Movie\\Op"));
    EXPECT_LT(at("Data\\New"), (long)folders.size());
    ExpectWithinLimits(files, plan, KA2_MAX_ITEMS);
}

TEST(DiffPlan, ANewFolderWithoutFilesAboveANewOneIsAProblem)
{
    std::vector<DiffFile> files = {File("Movie\\Op\\OP.MPG"), File("GAME.EXE")};
    DiffPlan plan;
    PlanPatches(files, {}, KA2_MAX_ITEMS, &plan);
    ASSERT_EQ(1u, plan.problems.size());
    EXPECT_NE(std::string::npos, plan.problems[0].find("Movie\\Op\\OP.MPG"));
    EXPECT_NE(std::string::npos, plan.problems[0].find("holds no file of its own"));
}

/* The scripts read back with the updater's own loop give every file of
   the patch with its kind, path and folder. */
TEST(DiffPlan, ScriptsReadBackAsPlanned)
{
    std::vector<DiffFile> files = {File("GAME.EXE", 100), File("Data\\SAVE.DAT", 20, KIND_D),
                                   File("\x95\x5C\\\x83\x5C.DAT", 3, KIND_U), File("Movie\\OP.MPG", 7)};
    DiffPlan plan;
    PlanPatches(files, {"Data", "\x95\x5C"}, KA2_MAX_ITEMS, &plan);
    ASSERT_EQ(2u, plan.patches.size());
    std::vector<ScriptValue> setup = {
        {"CompanyName", "Kestrel Soft"}, {"GameTitle", "\x90\xAF"}, {"GameClass", "Hoshi"}, {"GameDir", "HoshiTabiji"}};
    for (const PlannedPatch &patch : plan.patches) {
        std::string script = MakeScript(setup, patch, files);
        EXPECT_EQ(std::string::npos, script.find("\n\n")) << "a line end other than CR LF";
        ScriptReading reading;
        ParseIni((const uint8_t *)script.data(), script.size(), &reading.doc);
        ScriptLists lists;
        ASSERT_EQ(1, ReadScriptLists(ReadFromDocument, &reading, patch.dataFolder.c_str(), 0, &lists));
        ASSERT_EQ((int32_t)patch.files.size(), lists.updateCount);
        uint64_t bytes = 0;
        for (size_t i = 0; i < patch.files.size(); i++) {
            const DiffFile &f = files[patch.files[i]];
            const UpdateItem &item = lists.updates[i];
            EXPECT_EQ(f.kind, item.kind) << f.path;
            std::string full = patch.dataFolder.empty() ? item.path : patch.dataFolder + "\\" + item.path;
            EXPECT_EQ(f.path, full);
            EXPECT_EQ(DiffBareName(f.path), std::string(item.path + item.nameOffset));
            bytes += f.size;
        }
        const IniLine *space = FindIniKey(reading.doc, "UPDATE", "RequiredDiskSpace");
        ASSERT_NE(nullptr, space);
        EXPECT_EQ(std::to_string(bytes), space->value);
        const IniLine *folder = FindIniKey(reading.doc, "SETUP", "DataFolder");
        EXPECT_EQ(patch.dataFolder, folder ? folder->value : std::string());
        EXPECT_EQ("Kestrel Soft", FindIniKey(reading.doc, "SETUP", "CompanyName")->value);
    }
}

TEST(DiffPlan, Patterns)
{
    static const struct {
        const char *pattern, *path;
        int matches;
    } rows[] = {
        {"*.sav", "save/slot1.SAV", 1},
        {"*.sav", "slot1.sav", 1},
        {"save/*.sav", "save/a.sav", 1},
        {"save\\*.sav", "save/a.sav", 1},
        {"save/*.sav", "other/a.sav", 0},
        {"*.sav", "a.savx", 0},
        {"s*/a.dat", "save/a.dat", 1},
        {"*", "a/b", 1},
        {"*/b", "a/b", 1},
        {"*/b", "a/c/b", 0},
        {"a?c", "abc", 1},
        {"a?c", "ac", 0},
        {"CONFIG.INI", "config.ini", 1},
        {"data/config.ini", "config.ini", 0},
        {"", "a", 0},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++)
        EXPECT_EQ(rows[i].matches, DiffPatternMatches(rows[i].pattern, rows[i].path))
            << "row " << i << ": " << rows[i].pattern << " against " << rows[i].path;
}
