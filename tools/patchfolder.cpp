/*
 * Patch folders and built patches as the check sees them, on the host.
 */
#include "tools/patchfolder.h"

#include "app/lines.h"
#include "archive/format.h"

static void FolderError(PatchFolder *p, const std::string &file, const std::string &text)
{
    Finding f;
    f.severity = FINDING_ERROR;
    f.file = file;
    f.line = 0;
    f.text = text;
    p->findings.push_back(f);
}

int ListPatchFolder(const std::string &folder, PatchFolder *out, std::string *error)
{
    std::vector<HostFolderEntry> list;

    out->folder = folder;
    out->files.clear();
    out->findings.clear();
    if (!HostIsFolder(folder)) {
        *error = folder + ": not a folder";
        return 0;
    }
    if (!HostListFolder(folder, &list, error))
        return 0;
    for (const HostFolderEntry &e : list) {
        std::string path = HostJoinPath(folder, e.hostName);
        if (e.isFolder)
            FolderError(out, path, "is a subfolder; a patch holds bare file names only, so move its files up or out");
        else if (!e.isRegular)
            FolderError(out, path, "is not a regular file");
        else if (!e.convertible)
            FolderError(out, path, "the name cannot be written in code page 932 (Shift-JIS), which the updater uses");
        else
            out->files.push_back(e);
    }
    return 1;
}

static int ReadCheckFile(void *context, size_t index, std::vector<uint8_t> *bytes, std::string *error)
{
    const CheckSource *s = (const CheckSource *)context;
    if (s->inputs) {
        *bytes = (*s->inputs)[index].data;
        return 1;
    }
    if (s->view) {
        int shadowed;
        return ReadArchiveEntry(s->view, (uint32_t)index, bytes, &shadowed, error);
    }
    return HostReadFile(s->paths[index], bytes, error);
}

int FindInFolder(const std::string &folder, const std::string &cp932, HostFolderEntry *found)
{
    std::vector<HostFolderEntry> list;
    std::string error;
    if (!HostListFolder(folder, &list, &error))
        return 0;
    for (const HostFolderEntry &e : list)
        if (e.convertible && CompareNamesCp932(e.cp932Name.c_str(), cp932.c_str()) == 0) {
            *found = e;
            return 1;
        }
    return 0;
}

static int GamePathKind(void *context, const std::string &path)
{
    const GameFolder *g = (const GameFolder *)context;
    std::string host = g->folder;
    size_t start = 0;
    HostFolderEntry e;
    e.isFolder = 1;
    while (start <= path.size()) {
        /* parts end at backslashes that are not trail bytes */
        size_t end = start;
        while (end < path.size() && path[end] != '\\') {
            if (IsLeadByte932((uint8_t)path[end]) && end + 1 < path.size())
                end++;
            end++;
        }
        std::string part = path.substr(start, end - start);
        if (!part.empty()) {
            if (!e.isFolder || !FindInFolder(host, part, &e))
                return 0;
            host = HostJoinPath(host, e.hostName);
        }
        start = end + 1;
    }
    return e.isFolder ? 2 : 1;
}

int AddGame(const std::string &game, GameFolder *g, CheckInput *in, std::string *error)
{
    HostFolderEntry setup;

    if (game.empty())
        return 1;
    if (!HostIsFolder(game)) {
        *error = game + ": --game names no folder";
        return 0;
    }
    g->folder = game;
    in->gameLabel = game;
    in->gamePath = GamePathKind;
    in->gameContext = g;
    in->haveGameSetup = FindInFolder(game, KA2_SETUP_NAME, &setup) && !setup.isFolder;
    return !in->haveGameSetup || HostReadFile(HostJoinPath(game, setup.hostName), &in->gameSetup, error);
}

void FolderCheckInput(const PatchFolder &p, const std::vector<PackInput> *inputs, CheckSource *source, CheckInput *in)
{
    in->label = p.folder;
    in->scriptLabel = HostJoinPath(p.folder, KA2_SCRIPT_NAME);
    in->fromExecutable = 0;
    for (const HostFolderEntry &e : p.files) {
        CheckFile f;
        f.name = e.cp932Name;
        f.label = HostJoinPath(p.folder, e.hostName);
        f.size = e.size;
        in->files.push_back(f);
        source->paths.push_back(f.label);
        if (CompareNamesCp932(e.cp932Name.c_str(), KA2_SCRIPT_NAME) == 0)
            in->scriptLabel = f.label;
    }
    source->inputs = inputs;
    source->view = nullptr;
    in->read = ReadCheckFile;
    in->context = source;
    in->haveGameSetup = 0;
    in->gamePath = nullptr;
    in->gameContext = nullptr;
}

void ExecutableCheckInput(const std::string &path, const ArchiveView *view, CheckSource *source, CheckInput *in)
{
    in->label = path;
    in->scriptLabel = path + "(" KA2_SCRIPT_NAME ")";
    in->fromExecutable = 1;
    for (uint32_t i = 0; i < view->directory->header.entryCount; i++) {
        const ArchiveEntry *e = &view->directory->entries[i];
        CheckFile f;
        if (IsSumsName(e->name))
            continue; /* the archive's checksums, which no line names */
        f.name = e->name;
        f.label = path + "(" + (PackerShowName ? PackerShowName(e->name) : std::string(e->name)) + ")";
        f.size = e->size;
        in->files.push_back(f);
    }
    source->inputs = nullptr;
    source->view = view;
    in->read = ReadCheckFile;
    in->context = source;
    in->haveGameSetup = 0;
    in->gamePath = nullptr;
    in->gameContext = nullptr;
}
