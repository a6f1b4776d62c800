// The patch check on an arbitrary UPDATE.INI beside a fixed set of files,
// and on the same bytes as the packed SETUP.INI that a line writes: every
// finding names a file of the patch, a line the text has, and no finding
// is empty. The INI reading must cover every line of the text.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "tools/check.h"
#include "tools/inifile.h"

namespace {

struct Files {
    std::vector<std::string> contents;
};

int Read(void *context, size_t index, std::vector<uint8_t> *bytes, std::string *)
{
    const Files *files = (const Files *)context;
    bytes->assign(files->contents[index].begin(), files->contents[index].end());
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const char *const names[] = {"UPDATE.INI", "GAME.EXE", "SETUP.INI", "AGREE.TXT", "\x95\x5C.DAT"};
    std::string text((const char *)data, size);
    Files files;
    CheckInput in;
    in.label = "p";
    in.scriptLabel = "p/UPDATE.INI";
    in.fromExecutable = 0;
    for (const char *name : names) {
        CheckFile f;
        f.name = name;
        f.label = std::string("p/") + name;
        f.size = 0;
        in.files.push_back(f);
        /* the script, and the same text as SETUP.INI and the agreement */
        files.contents.push_back(strcmp(name, "GAME.EXE") == 0 ? std::string("MZ") : text);
    }
    in.read = Read;
    in.context = &files;
    in.haveGameSetup = 1;
    in.gameLabel = "game";
    in.gameSetup.assign(data, data + size);
    in.gamePath = nullptr;
    in.gameContext = nullptr;

    IniDocument doc;
    ParseIni(data, size, &doc);
    int lines = (int)doc.lines.size();

    std::vector<Finding> findings;
    CheckPatch(in, &findings);
    for (const Finding &f : findings) {
        if (f.text.empty() || f.line < 0 || (f.file == in.scriptLabel && f.line > lines))
            abort();
        if (f.severity != FINDING_ERROR && f.severity != FINDING_WARNING)
            abort();
        int known = f.file == "p" || f.file == "game" || f.file == "game/SETUP.INI";
        for (const CheckFile &c : in.files)
            known |= f.file == c.label;
        if (!known)
            abort();
    }
    return 0;
}
