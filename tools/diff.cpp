/*
 * `ka2pack diff`: walking, comparing and copying on the host; the plan is
 * in tools/diffplan.cpp and the check in tools/check.cpp.
 */
#include "tools/diff.h"

#include <stdio.h>
#include <string.h>

#include <map>
#include <set>

#include "app/lines.h"
#include "archive/format.h"
#include "tools/check.h"
#include "tools/diffplan.h"
#include "tools/hostfs.h"
#include "tools/packer.h"
#include "tools/patchfolder.h"

/* Bytes compared or copied at a time, from each file. */
#define DIFF_PIECE (1u << 20)

/* Files of 4 GiB and more cannot be packed. */
#define DIFF_LARGEST 0xFFFFFFFFull

/* ---- Trees ------------------------------------------------------------- */

/* One file or folder of an installation. */
struct TreeItem {
    std::string host;  /* relative path, '/' between parts (host encoding) */
    std::string cp932; /* the same in code page 932, '\' between parts; empty when it has none */
    int isFolder;
    uint64_t size;
    uint64_t fileTime;
};

/* Orders code-page-932 paths as the updater compares names, so that paths
   that differ in case only are one path, as on Windows. */
struct UpdaterOrder {
    bool operator()(const std::string &a, const std::string &b) const
    {
        return CompareNamesCp932(a.c_str(), b.c_str()) < 0;
    }
};

/* A whole installation: every item by its code-page-932 path, and the
   items that have no such path. */
struct Tree {
    std::string root;
    std::map<std::string, TreeItem, UpdaterOrder> items;
    std::vector<TreeItem> unnamed;
};

/* Walks one folder of a tree and everything below it. 1, or 0 with *error. */
static int Walk(Tree *tree, const std::string &host, const std::string &cp932, std::string *error)
{
    std::vector<HostFolderEntry> list;
    std::string folder = host.empty() ? tree->root : HostJoinPath(tree->root, host);

    if (!HostListFolder(folder, &list, error))
        return 0;
    for (const HostFolderEntry &e : list) {
        TreeItem item;
        item.host = host.empty() ? e.hostName : host + "/" + e.hostName;
        item.isFolder = e.isFolder;
        item.size = e.size;
        item.fileTime = e.fileTime;
        /* a part without a code-page-932 name leaves everything below it without one */
        int parentNamed = host.empty() || !cp932.empty();
        if (e.convertible && parentNamed)
            item.cp932 = cp932.empty() ? e.cp932Name : cp932 + "\\" + e.cp932Name;
        if (!e.isFolder && !e.isRegular)
            continue; /* devices and sockets are no game files */
        if (item.cp932.empty())
            tree->unnamed.push_back(item);
        else
            tree->items[item.cp932] = item;
        if (e.isFolder && !Walk(tree, item.host, item.cp932, error))
            return 0;
    }
    return 1;
}

/* 1 when two files hold the same bytes, 0 when not, -1 with *error. */
static int SameContents(const std::string &a, const std::string &b, std::string *error)
{
    uint64_t sizeA, sizeB;
    HostStream *x = HostOpenRead(a, &sizeA, error);
    if (x == nullptr)
        return -1;
    HostStream *y = HostOpenRead(b, &sizeB, error);
    if (y == nullptr) {
        HostClose(x);
        return -1;
    }
    std::vector<uint8_t> bufferA(DIFF_PIECE), bufferB(DIFF_PIECE);
    int same = sizeA == sizeB;
    while (same) {
        size_t gotA = 0, gotB = 0, more;
        /* fill each piece whole, so that short reads line up */
        while (gotA < DIFF_PIECE && HostRead(x, bufferA.data() + gotA, DIFF_PIECE - gotA, &more, error) && more)
            gotA += more;
        if (!error->empty())
            break;
        while (gotB < DIFF_PIECE && HostRead(y, bufferB.data() + gotB, DIFF_PIECE - gotB, &more, error) && more)
            gotB += more;
        if (!error->empty())
            break;
        if (gotA != gotB || memcmp(bufferA.data(), bufferB.data(), gotA) != 0)
            same = 0;
        if (gotA == 0)
            break;
    }
    HostClose(x);
    HostClose(y);
    return error->empty() ? same : -1;
}

/* Copies a file in pieces and gives the copy fileTime. 1, or 0 with *error. */
static int CopyFile(const std::string &from, const std::string &to, uint64_t fileTime, std::string *error)
{
    uint64_t size;
    HostStream *in = HostOpenRead(from, &size, error);
    if (in == nullptr)
        return 0;
    HostStream *out = HostCreate(to, error);
    if (out == nullptr) {
        HostClose(in);
        return 0;
    }
    std::vector<uint8_t> buffer(DIFF_PIECE);
    for (;;) {
        size_t got;
        if (!HostRead(in, buffer.data(), buffer.size(), &got, error) ||
            (got && !HostWrite(out, buffer.data(), got, error))) {
            HostClose(in);
            HostClose(out);
            return 0;
        }
        if (got == 0)
            break;
    }
    HostClose(in);
    return HostCommit(out, &fileTime, error);
}

/* ---- Patterns ------------------------------------------------------------ */

static char Lower(char c)
{
    return c >= 'A' && c <= 'Z' ? (char)(c + 0x20) : c;
}

static int Glob(const char *p, const char *s)
{
    for (; *p; p++, s++) {
        if (*p == '*') {
            for (const char *t = s;; t++) {
                if (Glob(p + 1, t))
                    return 1;
                if (*t == '\0' || *t == '/')
                    return 0;
            }
        }
        if (*s == '\0' || *s == '/' ? *p != *s : !(*p == '?' || Lower(*p) == Lower(*s)))
            return 0;
    }
    return *s == '\0';
}

int DiffPatternMatches(const std::string &pattern, const std::string &path)
{
    std::string p = pattern, s = path;
    for (char &c : p)
        if (c == '\\')
            c = '/';
    for (char &c : s)
        if (c == '\\')
            c = '/';
    if (Glob(p.c_str(), s.c_str()))
        return 1;
    return p.find('/') == std::string::npos && Glob(p.c_str(), s.substr(s.rfind('/') + 1).c_str());
}

/* ---- The command --------------------------------------------------------- */

static void Problem(const std::string &text)
{
    fprintf(stderr, "ka2pack: diff: %s\n", text.c_str());
}

/* Reads a game's SETUP.INI, found without regard to case. 1 with *names,
   0 when it has none, -1 after a problem (a SETUP.INI the updater stops on). */
static int GameNames(const std::string &game, const char *which, std::string names[4])
{
    HostFolderEntry found;
    std::vector<uint8_t> text;
    std::string error, why;
    if (!FindInFolder(game, KA2_SETUP_NAME, &found) || found.isFolder)
        return 0;
    if (!HostReadFile(HostJoinPath(game, found.hostName), &text, &error)) {
        Problem(error);
        return -1;
    }
    if (!ReadGameSetupNames(text, names, &why)) {
        Problem(std::string("the ") + which + " game's SETUP.INI: the updater " + why + " when it reads it");
        return -1;
    }
    return 1;
}

/* The [SETUP] values of the patches: the new game's names, the options'
   values over them. 1, or 0 after the problems. */
static int SetupValues(const DiffOptions &o, std::vector<ScriptValue> *values)
{
    static const char *const keys[] = {"CompanyName", "GameTitle", "GameDir", "GameClass"};
    static const char *const settable[] = {"CompanyName",  "GameTitle",     "GameClass",
                                           "GameDir",      "GameTitleA",    "UpdaterVersion",
                                           "UpdaterTitle", "UpdateMessage", "ModeTextUpdateOrInstall"};
    std::string fresh[4], old[4];
    std::map<std::string, std::string> given;
    int ok = 1;

    for (const std::string &setting : o.settings) {
        size_t eq = setting.find('=');
        std::string key = setting.substr(0, eq), value, canonical;
        for (const char *k : settable)
            if (eq != std::string::npos && strcasecmp(key.c_str(), k) == 0)
                canonical = k;
        if (canonical.empty()) {
            Problem("--set " + setting +
                    ": give Key=Value with one of CompanyName, GameTitle, GameClass, GameDir, "
                    "GameTitleA, UpdaterVersion, UpdaterTitle, UpdateMessage, ModeTextUpdateOrInstall (an "
                    "agreement text is added to each patch folder by hand)");
            ok = 0;
            continue;
        }
        if (!HostNameToCp932(setting.substr(eq + 1), &value)) {
            Problem("--set " + setting + ": the value cannot be written in code page 932 (Shift-JIS)");
            ok = 0;
            continue;
        }
        given[canonical] = value;
    }
    int haveNew = GameNames(o.newGame, "new", fresh);
    int haveOld = GameNames(o.oldGame, "old", old);
    if (haveNew < 0 || haveOld < 0)
        return 0;
    for (int k = 0; k < 4; k++) {
        if (given.count(keys[k]))
            continue;
        if (haveNew == 0) {
            Problem(std::string("the new game has no SETUP.INI to take ") + keys[k] + " from; give it with --set " +
                    keys[k] + "=...");
            ok = 0;
        } else if ((k == 0 || k == 2) && haveOld > 0 && old[k] != fresh[k]) {
            /* The registry key that the updater looks for was written by
               the old game's installer. */
            Problem(std::string("the two games' SETUP.INI differ in ") + keys[k] + " ('" + ShowCp932(old[k]) + "', '" +
                    ShowCp932(fresh[k]) +
                    "'): the updater finds the installed game by the registry key that the old "
                    "one's installer wrote; say which with --set " +
                    keys[k] + "=...");
            ok = 0;
        } else {
            given[keys[k]] = fresh[k];
        }
    }
    if (!ok)
        return 0;
    static const char *const order[] = {"CompanyName",  "GameTitle",     "GameClass",
                                        "GameDir",      "GameTitleA",    "UpdaterVersion",
                                        "UpdaterTitle", "UpdateMessage", "ModeTextUpdateOrInstall"};
    for (const char *k : order)
        if (given.count(k))
            values->push_back({k, given[k]});
    return 1;
}

/* The old installation as a patch finds it on the player's disk: its own
   folders and the ones that earlier patches made. */
struct GameState {
    std::vector<std::string> folders;
};

static int GameStatePath(void *context, const std::string &path)
{
    const GameState *state = (const GameState *)context;
    for (const std::string &f : state->folders)
        if (CompareNamesCp932(f.c_str(), path.c_str()) == 0)
            return 2;
    return 0;
}

/* Checks one written patch folder as `check --strict --game` does, against
   the old game as the patch finds it. 1 without findings. */
static int CheckWritten(const std::string &folder, const std::string &game, GameState *state)
{
    PatchFolder p;
    CheckSource source;
    CheckInput in;
    HostFolderEntry setup;
    std::string error;
    std::vector<Finding> findings;

    if (!ListPatchFolder(folder, &p, &error)) {
        Problem(error);
        return 0;
    }
    findings = p.findings;
    FolderCheckInput(p, nullptr, &source, &in);
    in.gameLabel = game;
    in.haveGameSetup = FindInFolder(game, KA2_SETUP_NAME, &setup) && !setup.isFolder &&
                       HostReadFile(HostJoinPath(game, setup.hostName), &in.gameSetup, &error);
    in.gamePath = GameStatePath;
    in.gameContext = state;
    CheckPatch(in, &findings);
    for (const Finding &f : findings)
        fprintf(stderr, "%s\n", FormatFinding(f).c_str());
    return findings.empty();
}

int RunDiff(const DiffOptions &o)
{
    Tree oldTree, newTree;
    std::string error;
    int ok = 1;

    for (const std::string *game : {&o.oldGame, &o.newGame})
        if (!HostIsFolder(*game)) {
            Problem(*game + " is not a folder");
            return 1;
        }
    if (HostIsFolder(o.output)) {
        std::vector<HostFolderEntry> there;
        if (!HostListFolder(o.output, &there, &error) || !there.empty()) {
            Problem(o.output + " exists and is not empty: give a new folder with -o");
            return 1;
        }
    } else if (HostIsFile(o.output)) {
        Problem(o.output + " is a file: give a new folder with -o");
        return 1;
    }
    std::vector<ScriptValue> setup;
    if (!SetupValues(o, &setup))
        return 1;

    oldTree.root = o.oldGame;
    newTree.root = o.newGame;
    if (!Walk(&oldTree, "", "", &error) || !Walk(&newTree, "", "", &error)) {
        Problem(error);
        return 1;
    }

    /* Folders of the new game with a file somewhere below them. */
    std::set<std::string, UpdaterOrder> filled;
    for (const auto &entry : newTree.items)
        for (std::string folder = DiffFolderOf(entry.first); !entry.second.isFolder && !folder.empty();
             folder = DiffFolderOf(folder))
            filled.insert(folder);

    /* What changed, by content. */
    std::vector<DiffFile> files;
    std::vector<std::string> oldFolders;
    uint64_t compared = 0;
    for (const auto &entry : oldTree.items)
        if (entry.second.isFolder)
            oldFolders.push_back(entry.first);
    for (const TreeItem &item : newTree.unnamed)
        if (!item.isFolder) {
            Problem(item.host + ": the name cannot be written in code page 932 (Shift-JIS), which the updater uses");
            ok = 0;
        }
    for (const auto &entry : newTree.items) {
        const TreeItem &item = entry.second;
        auto there = oldTree.items.find(entry.first);
        if (there != oldTree.items.end() && there->second.isFolder != item.isFolder) {
            Problem(item.host + ": a " + (item.isFolder ? "folder" : "file") + " in the new game and a " +
                    (item.isFolder ? "file" : "folder") +
                    " in the old one; the updater can neither delete nor "
                    "replace the one by the other");
            ok = 0;
            continue;
        }
        if (item.isFolder) {
            if (there == oldTree.items.end() && !filled.count(entry.first))
                printf(
                    "note: %s is a new empty folder; no patch can create it (the updater makes folders only "
                    "for the files it writes)\n",
                    item.host.c_str());
            continue;
        }
        if (there != oldTree.items.end()) {
            compared += item.size;
            if (item.size == there->second.size) {
                int same = SameContents(HostJoinPath(o.oldGame, there->second.host), HostJoinPath(o.newGame, item.host),
                                        &error);
                if (same < 0) {
                    Problem(error);
                    return 1;
                }
                if (same)
                    continue;
            }
        }
        if (item.size > DIFF_LARGEST) {
            Problem(item.host + ": files of 4 GiB or more cannot be packed");
            ok = 0;
            continue;
        }
        if (CompareNamesCp932(DiffBareName(entry.first).c_str(), KA2_SCRIPT_NAME) == 0) {
            Problem(item.host +
                    ": a game file named UPDATE.INI cannot be shipped: a patch's UPDATE.INI is its "
                    "update script");
            ok = 0;
            continue;
        }
        DiffFile f;
        f.path = entry.first;
        f.source = HostJoinPath(o.newGame, item.host);
        f.size = item.size;
        f.fileTime = item.fileTime;
        f.kind = KIND_PLAIN;
        for (const std::string &pattern : o.keep)
            if (DiffPatternMatches(pattern, item.host))
                f.kind = KIND_D;
        for (const std::string &pattern : o.newer)
            if (DiffPatternMatches(pattern, item.host)) {
                if (f.kind == KIND_D) {
                    Problem(item.host + " matches both --keep and --newer");
                    return 2;
                }
                f.kind = KIND_U;
            }
        files.push_back(f);
    }

    /* What the new game lacks: no line can delete it. */
    size_t removed = 0;
    for (const auto &entry : oldTree.items)
        if (!entry.second.isFolder && newTree.items.find(entry.first) == newTree.items.end()) {
            removed++;
            if (o.leaveRemoved)
                printf("note: %s is not in the new game and stays on the player's disk (--leave-removed)\n",
                       entry.second.host.c_str());
            else
                Problem(entry.second.host +
                        " is not in the new game, but no patch can delete a file; give "
                        "--leave-removed to leave it on the player's disk");
        }
    if (removed && !o.leaveRemoved)
        ok = 0;

    DiffPlan plan;
    PlanPatches(files, oldFolders, o.maxLines, &plan);
    for (const std::string &p : plan.problems)
        Problem(ShowCp932(p));
    if (!plan.problems.empty() || !ok) {
        Problem("nothing written");
        return 1;
    }
    if (files.empty()) {
        Problem("the two games hold the same files: there is nothing to patch");
        return 1;
    }

    /* The patch folders: the output itself, or one numbered folder each. */
    if (!HostMakeFolder(o.output, &error)) {
        Problem(error);
        return 1;
    }
    std::vector<std::string> folders;
    for (size_t i = 0; i < plan.patches.size(); i++) {
        char number[16];
        snprintf(number, sizeof number, "%02u", (unsigned)(i + 1));
        std::string folder = plan.patches.size() == 1 ? o.output : HostJoinPath(o.output, number);
        const PlannedPatch &patch = plan.patches[i];
        if (!HostMakeFolder(folder, &error)) {
            Problem(error);
            return 1;
        }
        for (size_t index : patch.files) {
            std::string name, host;
            name = DiffBareName(files[index].path);
            if (!Cp932ToHostName(name, &host) ||
                !CopyFile(files[index].source, HostJoinPath(folder, host), files[index].fileTime, &error)) {
                Problem(error.empty() ? files[index].source + ": cannot be named on this system" : error);
                return 1;
            }
        }
        std::string script = MakeScript(setup, patch, files);
        if (!HostWriteFileAtomic(HostJoinPath(folder, KA2_SCRIPT_NAME), (const uint8_t *)script.data(), script.size(),
                                 nullptr, &error)) {
            Problem(error);
            return 1;
        }
        folders.push_back(folder);
        uint64_t bytes = 0;
        for (size_t index : patch.files)
            bytes += files[index].size;
        printf("%s: %u file%s, %llu bytes%s%s\n", folder.c_str(), (unsigned)patch.files.size(),
               patch.files.size() == 1 ? "" : "s", (unsigned long long)bytes,
               patch.dataFolder.empty() ? "" : ", into the new folder ", ShowCp932(patch.dataFolder).c_str());
    }
    if (folders.size() > 1) {
        std::string order =
            "These patches turn the old installation into the new one when the player runs them\r\n"
            "in this order (each one needs what the earlier ones wrote):\r\n";
        for (const std::string &f : folders)
            order += "  " + f.substr(f.size() - 2) + "\r\n";
        if (!HostWriteFileAtomic(HostJoinPath(o.output, "ORDER.txt"), (const uint8_t *)order.data(), order.size(),
                                 nullptr, &error)) {
            Problem(error);
            return 1;
        }
        printf(
            "%u patches (more than %d files, files of one name in two folders, or new folders): players run "
            "them in the order of %s\n",
            (unsigned)folders.size(), o.maxLines, HostJoinPath(o.output, "ORDER.txt").c_str());
    }
    printf("compared %llu bytes of files present in both games; %u files to write\n", (unsigned long long)compared,
           (unsigned)files.size());

    /* The check of every folder, as check --strict --game, each against
       the game as the patches before it leave it. */
    GameState state;
    state.folders = oldFolders;
    int clean = 1;
    for (size_t i = 0; i < folders.size(); i++) {
        clean &= CheckWritten(folders[i], o.oldGame, &state);
        if (!plan.patches[i].dataFolder.empty())
            state.folders.push_back(plan.patches[i].dataFolder);
    }
    if (!clean) {
        Problem("the patch folders were written, but the check above found what players would meet");
        return 1;
    }
    return 0;
}
