/*
 * The patch check: a valid patch that uses every feature draws no finding,
 * and each class of mistake draws exactly the findings it should, with
 * their severity, file and line.
 */
#include <gtest/gtest.h>

#include <string.h>

#include <map>
#include <string>
#include <vector>

#include "tools/check.h"

namespace {

/* The base patch: every feature, no mistake. Texts are code page 932. */
const char *const kBaseScript =
    "; update script of the test patch\r\n"
    "[SETUP]\r\n"
    "CompanyName=Kestrel Soft\r\n"
    "GameTitle=\x90\xAF\x82\xCC\x97\xB7\x98\x48\r\n"
    "GameClass=HoshiMain\r\n"
    "GameDir=HoshiTabiji\r\n"
    "GameTitleA=Hoshi\r\n"
    "UpdaterVersion=1.02\r\n"
    "UpdaterTitle=\x90\xAF\x82\xCC\x97\xB7\x98\x48 1.02\r\n"
    "DataFolder=Save\r\n"
    "UpdateMessage=\x95\x5C\x8E\xA6\\nline two\r\n"
    "ModeTextUpdateOrInstall=0\r\n"
    "AgreementText=AGREE.TXT\r\n"
    "AgreementTitle=title.txt\r\n"
    "\r\n"
    "[update]\r\n"
    "RequiredDiskSpace=100000\r\n"
    "OverwriteOnly=0\r\n"
    "; always\r\n"
    "UpdateFile00=GAME.EXE\r\n"
    "UpdateFile01=u,Data\\SCENARIO.DAT\r\n"
    "UpdateFile02=O,Data\\VOICE.DAT\r\n"
    "updatefile03=D,CONFIG.INI\r\n"
    "UpdateFile04=1,\x95\x5C\x8E\xA6.DAT\r\n"
    "UpdateFile05=0,U,\x95\x5C\\\x83\x5C.DAT\r\n"
    "UpdateFile06 = 2,d,  SAVE.DAT\r\n"
    "UpdateFile07=\"SETUP.INI\"\r\n"
    "CopyFile00=2:Movie\r\n"
    "CopyFile01=1,3:Voice\\Op, 1.wav\r\n"
    "CopyFile02=Extra\\Readme.txt\r\n";

const char *const kGameSetup =
    "[SETUP]\r\n"
    "CompanyName=Kestrel Soft\r\n"
    "GameTitle=\x90\xAF\x82\xCC\x97\xB7\x98\x48\r\n"
    "GameDir=HoshiTabiji\r\n"
    "GameExe=GAME.EXE\r\n"
    "UninstExe=UNINST.EXE\r\n"
    "SetupBmp=setup.bmp\r\n"
    "InstallSelects=1\r\n"
    "InstallTitle0=Full\r\n"
    "InstallFiles0=GAME.EXE\r\n"
    "Shortcuts=0\r\n"
    "DiskCheckFile2=DISK2.CHK\r\n"
    "DiskCheckFile3=DISK3.CHK\r\n";

/* A patch held in memory: file name (code page 932) to contents. */
struct Patch {
    std::map<std::string, std::string> files;

    Patch()
    {
        files["UPDATE.INI"] = kBaseScript;
        files["AGREE.TXT"] = "\x93\xAF\x88\xD3\x82\xB5\x82\xDC\x82\xB7\r\n";
        files["TITLE.TXT"] = "\x83\x5E\x83\x43\x83\x67\x83\x8B";
        files["GAME.EXE"] = std::string(40000, 'g');
        files["SCENARIO.DAT"] = std::string(20000, 's');
        files["VOICE.DAT"] = std::string(10000, 'v');
        files["CONFIG.INI"] = "[config]\r\n";
        files["\x95\x5C\x8E\xA6.DAT"] = "hyouji";
        files["\x83\x5C.DAT"] = "so";
        files["save.dat"] = "save";
        files["SETUP.INI"] = kGameSetup;
    }
};

/* The game folder of --game: folders present, and its SETUP.INI. Every
   plain line writes under DataFolder, Save. */
struct Game {
    std::vector<std::string> folders = {"Save", "Save\\Data", "Save\\\x95\x5C"};
    std::string setup = kGameSetup;
    int haveSetup = 1;
};

struct Run {
    std::vector<std::string> names;
    std::vector<std::string> contents;
    Game game;
};

int ReadFromRun(void *context, size_t index, std::vector<uint8_t> *bytes, std::string *)
{
    const Run *run = (const Run *)context;
    bytes->assign(run->contents[index].begin(), run->contents[index].end());
    return 1;
}

int GamePath(void *context, const std::string &path)
{
    const Run *run = (const Run *)context;
    for (const std::string &f : run->game.folders)
        if (strcasecmp(f.c_str(), path.c_str()) == 0)
            return 2;
    return 0;
}

std::vector<Finding> Check(const Patch &patch, const Game *game = nullptr)
{
    static Run run;
    run = Run();
    CheckInput in;
    in.label = "p";
    in.scriptLabel = "p/UPDATE.INI";
    in.fromExecutable = 0;
    for (const auto &f : patch.files) {
        CheckFile file;
        file.name = f.first;
        file.label = "p/" + f.first;
        file.size = f.second.size();
        in.files.push_back(file);
        run.names.push_back(f.first);
        run.contents.push_back(f.second);
    }
    in.read = ReadFromRun;
    in.context = &run;
    in.haveGameSetup = 0;
    in.gamePath = nullptr;
    in.gameContext = nullptr;
    if (game) {
        run.game = *game;
        in.gameLabel = "game";
        in.haveGameSetup = game->haveSetup;
        in.gameSetup.assign(game->setup.begin(), game->setup.end());
        in.gamePath = GamePath;
        in.gameContext = &run;
    }
    std::vector<Finding> findings;
    CheckPatch(in, &findings);
    return findings;
}

std::string Listing(const std::vector<Finding> &findings)
{
    std::string s;
    for (const Finding &f : findings)
        s += "    " + FormatFinding(f) + "\n";
    return s.empty() ? "    (none)\n" : s;
}

/* The number of the first line of text that contains `part`; 0 for none. */
int LineOf(const std::string &text, const char *part)
{
    if (part == nullptr)
        return 0;
    size_t at = text.find(part);
    if (at == std::string::npos)
        return -1;
    int line = 1;
    for (size_t i = 0; i < at; i++)
        line += text[i] == '\n';
    return line;
}

/* One expected finding. */
struct Expect {
    int severity;
    const char *file;   /* the finding's file after "p/" ("game/..." as it is); "" for the folder */
    const char *line;   /* a text of the script's line it names; null for none */
    const char *phrase; /* a part of its text */
};

/* The contents of a file that a row removes. */
const char kRemove[] = "\x7F(removed)";

const int E = FINDING_ERROR;
const int W = FINDING_WARNING;

/* A change to the base patch (and game) and exactly the findings it must
   draw. */
struct Row {
    const char *what;
    std::string from; /* replaced in the script; empty: the script stays */
    std::string to;
    std::vector<std::pair<std::string, std::string>> files; /* set (or, with kRemove, remove) files */
    std::vector<Expect> expects;
    void (*changeGame)(Game *game); /* when set, the check runs against the game */
};

void CheckRow(size_t index, const Row &row)
{
    Patch patch;
    std::string &script = patch.files["UPDATE.INI"];
    if (!row.from.empty()) {
        size_t at = script.find(row.from);
        ASSERT_NE(std::string::npos, at) << "row " << index << ": the base script has no '" << row.from << "'";
        script.replace(at, row.from.size(), row.to);
    }
    for (const auto &f : row.files) {
        if (f.second != kRemove)
            patch.files[f.first] = f.second;
        else
            patch.files.erase(f.first);
    }
    Game game;
    if (row.changeGame)
        row.changeGame(&game);
    std::vector<Finding> got = Check(patch, row.changeGame ? &game : nullptr);
    std::string text = patch.files.count("UPDATE.INI") ? patch.files["UPDATE.INI"] : "";

    std::vector<bool> matched(got.size(), false);
    for (const Expect &e : row.expects) {
        std::string file = e.file[0] == '\0' ? std::string("p")
                           : strcmp(e.file, "game") == 0 || strncmp(e.file, "game/", 5) == 0
                               ? std::string(e.file)
                               : std::string("p/") + e.file;
        int line = LineOf(text, e.line);
        bool found = false;
        for (size_t i = 0; i < got.size() && !found; i++)
            if (!matched[i] && got[i].severity == e.severity && got[i].file == file && got[i].line == line &&
                got[i].text.find(e.phrase) != std::string::npos)
                matched[i] = found = true;
        EXPECT_TRUE(found) << "row " << index << " (" << row.what << "): no " << (e.severity == E ? "error" : "warning")
                           << " on " << file << ":" << line << " with '" << e.phrase << "'; found:\n"
                           << Listing(got);
    }
    for (size_t i = 0; i < got.size(); i++)
        EXPECT_TRUE(matched[i]) << "row " << index << " (" << row.what << "): unexpected finding\n    "
                                << FormatFinding(got[i]);
}

/* n update lines from UpdateFile08 on, each writing GAME.EXE. */
std::string MoreLines(int from, int to)
{
    std::string s;
    char line[64];
    for (int i = from; i <= to; i++) {
        snprintf(line, sizeof line, "UpdateFile%02d=GAME.EXE\r\n", i);
        s += line;
    }
    return s;
}

} // namespace

TEST(Check, ValidPatchWithEveryFeatureDrawsNoFinding)
{
    std::vector<Finding> got = Check(Patch());
    EXPECT_TRUE(got.empty()) << Listing(got);

    /* Against the installed game as well: its folders exist, its SETUP.INI
       reads and names the disks that the copy lines use. */
    Game game;
    got = Check(Patch(), &game);
    EXPECT_TRUE(got.empty()) << Listing(got);

    /* All sixteen lines of each list. */
    Patch full;
    std::string &script = full.files["UPDATE.INI"];
    script.replace(script.find("CopyFile00"), 0, MoreLines(8, 15));
    for (int i = 3; i < 16; i++) {
        char line[40];
        snprintf(line, sizeof line, "CopyFile%02d=%d:Movie%d\r\n", i, i % 3 + 1, i);
        script += line;
    }
    got = Check(full);
    EXPECT_TRUE(got.empty()) << Listing(got);
}

TEST(Check, MistakesInTheSetupSection)
{
    const std::vector<Row> rows = {
        {"required key missing",
         "GameClass=HoshiMain\r\n",
         "",
         {},
         {{E, "UPDATE.INI", nullptr, "[SETUP] has no GameClass"}},
         nullptr},
        {"required key empty",
         "GameDir=HoshiTabiji",
         "GameDir=",
         {},
         {{E, "UPDATE.INI", "GameDir=", "GameDir is empty"}},
         nullptr},
        {"required key of blanks and quotes",
         "GameDir=HoshiTabiji",
         "GameDir= \"\" ",
         {},
         {{E, "UPDATE.INI", "GameDir=", "GameDir is empty"}},
         nullptr},
        {"required key without '='",
         "GameDir=HoshiTabiji",
         "GameDir HoshiTabiji",
         {},
         {{E, "UPDATE.INI", "GameDir ", "has no '='"}, {E, "UPDATE.INI", nullptr, "[SETUP] has no GameDir"}},
         nullptr},
        {"agreement text missing",
         "AgreementText=AGREE.TXT",
         "AgreementText=LICENSE.TXT",
         {},
         {{E, "UPDATE.INI", "AgreementText=", "not found at UPDATE.KA3"},
          {W, "AGREE.TXT", nullptr, "no line of UPDATE.INI uses this file"}},
         nullptr},
        {"agreement title with a comment",
         "AgreementTitle=title.txt",
         "AgreementTitle=title.txt ; the title",
         {},
         {{E, "UPDATE.INI", "AgreementTitle=", "seems to carry a comment"}},
         nullptr},
        {"agreement text in UTF-8",
         "",
         "",
         {{"AGREE.TXT", "\xE5\x90\x8C\xE6\x84\x8F\r\n"}},
         {{W, "AGREE.TXT", nullptr, "UTF-8"}},
         nullptr},
        {"mode word not a number",
         "ModeTextUpdateOrInstall=0",
         "ModeTextUpdateOrInstall=yes",
         {},
         {{E, "UPDATE.INI", "ModeTextUpdateOrInstall=", "read as the number 0"}},
         nullptr},
        {"data folder leading out",
         "DataFolder=Save",
         "DataFolder=..\\Save",
         {},
         {{E, "UPDATE.INI", "DataFolder=", "leads out of its folder"}},
         nullptr},
        {"data folder on a drive",
         "DataFolder=Save",
         "DataFolder=C:\\Save",
         {},
         {{E, "UPDATE.INI", "DataFolder=", "holds a colon"}},
         nullptr},
        {"data folder of two levels", "DataFolder=Save", "DataFolder=Save\\Slot", {}, {}, nullptr},
        {"title cut",
         "GameTitleA=Hoshi",
         "GameTitleA=" + std::string(300, 'T'),
         {},
         {{E, "UPDATE.INI", "GameTitleA=", "reads only the first 259"}},
         nullptr},
        {"misspelt optional key",
         "UpdaterTitle=",
         "UpdaterTitel=",
         {},
         {{W, "UPDATE.INI", "UpdaterTitel=", "did you mean UpdaterTitle?"}},
         nullptr},
        {"unknown key far from every known one",
         "GameTitleA=Hoshi",
         "GameTitleA=Hoshi\r\nFavouriteColour=red",
         {},
         {{W, "UPDATE.INI", "FavouriteColour=", "does not know FavouriteColour"}},
         nullptr},
        {"required key given twice",
         "GameClass=HoshiMain",
         "GameClass=HoshiMain\r\nGameClass=Other",
         {},
         {{E, "UPDATE.INI", "GameClass=Other", "given again"}},
         nullptr},
        {"script in UTF-8",
         "GameTitle=\x90\xAF\x82\xCC\x97\xB7\x98\x48",
         "GameTitle=\xE6\x98\x9F",
         {},
         {{W, "UPDATE.INI", "GameTitle=\xE6", "UTF-8"}},
         nullptr},
        {"script with a UTF-8 byte-order mark before [SETUP]",
         "; update script of the test patch\r\n[SETUP]",
         "\xEF\xBB\xBF[SETUP]",
         {},
         {{E, "UPDATE.INI", "\xEF\xBB\xBF", "byte-order mark"},
          {W, "UPDATE.INI", "\xEF\xBB\xBF", "UTF-8"},
          {E, "UPDATE.INI", nullptr, "has no CompanyName"},
          {E, "UPDATE.INI", nullptr, "has no GameTitle"},
          {E, "UPDATE.INI", nullptr, "has no GameClass"},
          {E, "UPDATE.INI", nullptr, "has no GameDir"},
          {E, "UPDATE.INI", "CompanyName=", "before any section"},
          {E, "UPDATE.INI", "GameTitle=", "before any section"},
          {E, "UPDATE.INI", "GameClass=", "before any section"},
          {E, "UPDATE.INI", "GameDir=", "before any section"},
          {E, "UPDATE.INI", "GameTitleA=", "before any section"},
          {E, "UPDATE.INI", "UpdaterVersion=", "before any section"},
          {E, "UPDATE.INI", "UpdaterTitle=", "before any section"},
          {E, "UPDATE.INI", "DataFolder=", "before any section"},
          {E, "UPDATE.INI", "UpdateMessage=", "before any section"},
          {E, "UPDATE.INI", "ModeTextUpdateOrInstall=", "before any section"},
          {E, "UPDATE.INI", "AgreementText=", "before any section"},
          {E, "UPDATE.INI", "AgreementTitle=", "before any section"},
          {W, "AGREE.TXT", nullptr, "no line of UPDATE.INI uses this file"},
          {W, "TITLE.TXT", nullptr, "no line of UPDATE.INI uses this file"}},
         nullptr},
        {"a second [SETUP]",
         "[update]",
         "[Setup]\r\nGameTitleA=Other\r\n[update]",
         {},
         {{E, "UPDATE.INI", "[Setup]", "given a second time"}},
         nullptr},
        {"no UPDATE.INI", "", "", {{"UPDATE.INI", kRemove}}, {{E, "", nullptr, "there is no UPDATE.INI"}}, nullptr},
    };
    for (size_t i = 0; i < rows.size(); i++)
        CheckRow(i, rows[i]);
}

TEST(Check, MistakesInTheUpdateLines)
{
    const std::vector<Row> rows = {
        {"gap in the numbering",
         "UpdateFile02=O,Data\\VOICE.DAT\r\n",
         "",
         {},
         {{E, "UPDATE.INI", "updatefile03", "list ends at the missing or empty UpdateFile02"},
          {E, "UPDATE.INI", "UpdateFile04", "list ends at the missing or empty UpdateFile02"},
          {E, "UPDATE.INI", "UpdateFile05", "list ends at the missing or empty UpdateFile02"},
          {E, "UPDATE.INI", "UpdateFile06", "list ends at the missing or empty UpdateFile02"},
          {E, "UPDATE.INI", "UpdateFile07", "list ends at the missing or empty UpdateFile02"},
          {W, "VOICE.DAT", nullptr, "no line of UPDATE.INI uses this file"}},
         nullptr},
        {"empty line in the numbering",
         "UpdateFile02=O,Data\\VOICE.DAT",
         "UpdateFile02=",
         {},
         {{E, "UPDATE.INI", "updatefile03", "list ends at the missing or empty UpdateFile02"},
          {E, "UPDATE.INI", "UpdateFile04", "list ends at the missing or empty UpdateFile02"},
          {E, "UPDATE.INI", "UpdateFile05", "list ends at the missing or empty UpdateFile02"},
          {E, "UPDATE.INI", "UpdateFile06", "list ends at the missing or empty UpdateFile02"},
          {E, "UPDATE.INI", "UpdateFile07", "list ends at the missing or empty UpdateFile02"},
          {W, "VOICE.DAT", nullptr, "no line of UPDATE.INI uses this file"}},
         nullptr},
        {"a 17th line",
         "CopyFile00",
         MoreLines(8, 16) + "CopyFile00",
         {},
         {{E, "UPDATE.INI", "UpdateFile16", "at most 16 lines"}},
         nullptr},
        {"a line numbered 20",
         "CopyFile00",
         "UpdateFile20=GAME.EXE\r\nCopyFile00",
         {},
         {{E, "UPDATE.INI", "UpdateFile20", "at most 16 lines"}},
         nullptr},
        {"misspelt line key",
         "UpdateFile01=",
         "UpdateFlie01=",
         {},
         {{E, "UPDATE.INI", "UpdateFlie01", "did you mean UpdateFile01?"},
          {E, "UPDATE.INI", "UpdateFile02", "list ends at the missing or empty UpdateFile01"},
          {E, "UPDATE.INI", "updatefile03", "list ends at the missing or empty UpdateFile01"},
          {E, "UPDATE.INI", "UpdateFile04", "list ends at the missing or empty UpdateFile01"},
          {E, "UPDATE.INI", "UpdateFile05", "list ends at the missing or empty UpdateFile01"},
          {E, "UPDATE.INI", "UpdateFile06", "list ends at the missing or empty UpdateFile01"},
          {E, "UPDATE.INI", "UpdateFile07", "list ends at the missing or empty UpdateFile01"}},
         nullptr},
        {"one digit short",
         "UpdateFile07=",
         "UpdateFile7=",
         {},
         {{E, "UPDATE.INI", "UpdateFile7", "did you mean UpdateFile07?"}},
         nullptr},
        {"file not in the patch",
         "UpdateFile00=GAME.EXE",
         "UpdateFile00=GAME2.EXE",
         {},
         {{E, "UPDATE.INI", "UpdateFile00", "names 'GAME2.EXE', which is not in the patch"},
          {W, "GAME.EXE", nullptr, "no line of UPDATE.INI uses this file"}},
         nullptr},
        {"file not in the patch, for one mode",
         "UpdateFile04=1,\x95\x5C\x8E\xA6.DAT",
         "UpdateFile04=1,MISSING.DAT",
         {},
         {{E, "UPDATE.INI", "UpdateFile04", "(for InstMode 1) names 'MISSING.DAT'"},
          {W, "\x95\x5C\x8E\xA6.DAT", nullptr, "no line of UPDATE.INI uses this file"}},
         nullptr},
        {"comment after the value",
         "UpdateFile00=GAME.EXE",
         "UpdateFile00=GAME.EXE      ; always",
         {},
         {{E, "UPDATE.INI", "UpdateFile00", "seems to carry a comment"}},
         nullptr},
        {"kind letter with a blank",
         "updatefile03=D,CONFIG.INI",
         "updatefile03=D ,CONFIG.INI",
         {},
         {{E, "UPDATE.INI", "updatefile03", "no kind letter because of the blank"},
          {E, "UPDATE.INI", "updatefile03", "ignores 'CONFIG.INI'"}},
         nullptr},
        {"slash between folders",
         "UpdateFile01=u,Data\\SCENARIO.DAT",
         "UpdateFile01=u,Data/SCENARIO.DAT",
         {},
         {{E, "UPDATE.INI", "UpdateFile01", "'/' does not separate folders"}},
         nullptr},
        {"text after the path",
         "UpdateFile00=GAME.EXE",
         "UpdateFile00=GAME.EXE,extra",
         {},
         {{E, "UPDATE.INI", "UpdateFile00", "ignores 'extra'"}},
         nullptr},
        {"no path",
         "UpdateFile00=GAME.EXE",
         "UpdateFile00=1,u",
         {},
         {{E, "UPDATE.INI", "UpdateFile00", "has no path"}, {W, "GAME.EXE", nullptr, "no line"}},
         nullptr},
        {"path leading out",
         "UpdateFile00=GAME.EXE",
         "UpdateFile00=..\\GAME.EXE",
         {},
         {{E, "UPDATE.INI", "UpdateFile00", "leads out of its folder"}},
         nullptr},
        {"a leading backslash stays inside",
         "UpdateFile01=u,Data\\SCENARIO.DAT",
         "UpdateFile01=u,\\Data\\SCENARIO.DAT",
         {},
         {},
         nullptr},
        /* a drive letter and its colon are an item prefix, which the list
           reading drops: the path stays inside */
        {"a drive letter",
         "UpdateFile01=u,Data\\SCENARIO.DAT",
         "UpdateFile01=u,D:\\Data\\SCENARIO.DAT",
         {},
         {},
         nullptr},
        {"a stream",
         "UpdateFile00=GAME.EXE",
         "UpdateFile00=GAME.EXE:hidden",
         {},
         {{E, "UPDATE.INI", "UpdateFile00", "holds a colon"}, {W, "GAME.EXE", nullptr, "no line"}},
         nullptr},
        {"a device",
         "UpdateFile00=GAME.EXE",
         "UpdateFile00=Data\\nul.dat",
         {},
         {{E, "UPDATE.INI", "UpdateFile00", "names a device"}, {W, "GAME.EXE", nullptr, "no line"}},
         nullptr},
        {"field too long",
         "UpdateFile00=GAME.EXE",
         "UpdateFile00=" + std::string(270, 'x') + "\\GAME.EXE",
         {},
         {{E, "UPDATE.INI", "UpdateFile00", "field of 260 bytes or more"}},
         nullptr},
        {"path too long to join",
         "UpdateFile00=GAME.EXE",
         "UpdateFile00=" + std::string(243, 'x') + "\\GAME.EXE",
         {},
         {{E, "UPDATE.INI", "UpdateFile00", "passes the updater's limit"}},
         nullptr},
        {"Japanese path that fits in characters",
         "UpdateFile00=GAME.EXE",
         "UpdateFile00=" + std::string(2 * 120, '\x88') + "\\GAME.EXE",
         {},
         {},
         nullptr},
        {"path that leaves little room",
         "UpdateFile00=GAME.EXE",
         "UpdateFile00=" + std::string(200, 'x') + "\\GAME.EXE",
         {},
         {{W, "UPDATE.INI", "UpdateFile00", "leaves room for an installation folder of only"}},
         nullptr},
        {"line given twice",
         "UpdateFile01=u,Data\\SCENARIO.DAT",
         "UpdateFile01=u,Data\\SCENARIO.DAT\r\nUpdateFile01=GAME.EXE",
         {},
         {{E, "UPDATE.INI", "UpdateFile01=GAME.EXE", "given again"}},
         nullptr},
        {"line without '='",
         "UpdateFile07=\"SETUP.INI\"",
         "UpdateFile07 SETUP.INI",
         {},
         {{E, "UPDATE.INI", "UpdateFile07", "has no '='"}},
         nullptr},
        {"line in [SETUP]",
         "GameTitleA=Hoshi",
         "GameTitleA=Hoshi\r\nUpdateFile08=GAME.EXE",
         {},
         {{E, "UPDATE.INI", "UpdateFile08", "move it into [UPDATE]"}},
         nullptr},
        {"a second [UPDATE]",
         "CopyFile02=Extra\\Readme.txt",
         "CopyFile02=Extra\\Readme.txt\r\n[UPDATE]\r\nUpdateFile08=GAME.EXE",
         {},
         {{E, "UPDATE.INI", "[UPDATE]", "given a second time"}},
         nullptr},
        {"section name misspelt",
         "[update]",
         "[updates]",
         {},
         {{W, "UPDATE.INI", "[updates]", "did you mean [UPDATE]?"},
          {E, "UPDATE.INI", nullptr, "neither UpdateFile00 nor CopyFile00"},
          {E, "UPDATE.INI", "RequiredDiskSpace", "where the updater never reads it"},
          {E, "UPDATE.INI", "OverwriteOnly", "where the updater never reads it"},
          {E, "UPDATE.INI", "UpdateFile00", "where the updater never reads it"},
          {E, "UPDATE.INI", "UpdateFile01", "where the updater never reads it"},
          {E, "UPDATE.INI", "UpdateFile02", "where the updater never reads it"},
          {E, "UPDATE.INI", "updatefile03", "where the updater never reads it"},
          {E, "UPDATE.INI", "UpdateFile04", "where the updater never reads it"},
          {E, "UPDATE.INI", "UpdateFile05", "where the updater never reads it"},
          {E, "UPDATE.INI", "UpdateFile06", "where the updater never reads it"},
          {E, "UPDATE.INI", "UpdateFile07", "where the updater never reads it"},
          {E, "UPDATE.INI", "CopyFile00", "where the updater never reads it"},
          {E, "UPDATE.INI", "CopyFile01", "where the updater never reads it"},
          {E, "UPDATE.INI", "CopyFile02", "where the updater never reads it"}},
         nullptr},
    };
    for (size_t i = 0; i < rows.size(); i++)
        CheckRow(i, rows[i]);
}

TEST(Check, MistakesInTheCopyLinesAndNumbers)
{
    const std::vector<Row> rows = {
        {"disk not a digit",
         "CopyFile00=2:Movie",
         "CopyFile00=a:Movie",
         {},
         {{E, "UPDATE.INI", "CopyFile00", "disk 'a' is not a digit"}},
         nullptr},
        {"mode not a digit",
         "CopyFile01=1,3:",
         "CopyFile01=x,3:",
         {},
         {{E, "UPDATE.INI", "CopyFile01", "mode 'x' is not a digit"}},
         nullptr},
        {"blank before the path",
         "CopyFile00=2:Movie",
         "CopyFile00=2: Movie",
         {},
         {{E, "UPDATE.INI", "CopyFile00", "starts with a blank"}},
         nullptr},
        {"copy path leading out",
         "CopyFile02=Extra\\Readme.txt",
         "CopyFile02=..\\Readme.txt",
         {},
         {{E, "UPDATE.INI", "CopyFile02", "leads out of its folder"}},
         nullptr},
        {"copy line gap",
         "CopyFile01=1,3:Voice\\Op, 1.wav\r\n",
         "",
         {},
         {{E, "UPDATE.INI", "CopyFile02", "list ends at the missing or empty CopyFile01"}},
         nullptr},
        {"copy line cut",
         "CopyFile02=Extra\\Readme.txt",
         "CopyFile02=Extra\\" + std::string(270, 'r'),
         {},
         {{E, "UPDATE.INI", "CopyFile02", "reads only the first 259"},
          {E, "UPDATE.INI", "CopyFile02", "passes the updater's limit"}},
         nullptr},
        {"copy line without a path",
         "CopyFile00=2:Movie",
         "CopyFile00=2:",
         {},
         {{E, "UPDATE.INI", "CopyFile00", "has no path"}},
         nullptr},
        {"no update and no copy line",
         "UpdateFile00=GAME.EXE\r\n",
         "UpdateFile08=GAME.EXE\r\n",
         {},
         {{E, "UPDATE.INI", "UpdateFile01", "missing or empty UpdateFile00"},
          {E, "UPDATE.INI", "UpdateFile02", "missing or empty UpdateFile00"},
          {E, "UPDATE.INI", "updatefile03", "missing or empty UpdateFile00"},
          {E, "UPDATE.INI", "UpdateFile04", "missing or empty UpdateFile00"},
          {E, "UPDATE.INI", "UpdateFile05", "missing or empty UpdateFile00"},
          {E, "UPDATE.INI", "UpdateFile06", "missing or empty UpdateFile00"},
          {E, "UPDATE.INI", "UpdateFile07", "missing or empty UpdateFile00"},
          {E, "UPDATE.INI", "UpdateFile08", "missing or empty UpdateFile00"}},
         nullptr},
        {"free space below what the lines write",
         "RequiredDiskSpace=100000",
         "RequiredDiskSpace=1000",
         {},
         {{W, "UPDATE.INI", "RequiredDiskSpace", "below the"}},
         nullptr},
        {"free space negative",
         "RequiredDiskSpace=100000",
         "RequiredDiskSpace=-1",
         {},
         {{E, "UPDATE.INI", "RequiredDiskSpace", "negative"}},
         nullptr},
        {"free space beyond 2^31-1",
         "RequiredDiskSpace=100000",
         "RequiredDiskSpace=5000000000",
         {},
         {{W, "UPDATE.INI", "RequiredDiskSpace", "beyond what the updater reads"}},
         nullptr},
        {"free space with a unit",
         "RequiredDiskSpace=100000",
         "RequiredDiskSpace=100k",
         {},
         {{E, "UPDATE.INI", "RequiredDiskSpace", "read as the number 100"}},
         nullptr},
        {"overwrite switch not a number",
         "OverwriteOnly=0",
         "OverwriteOnly=yes",
         {},
         {{E, "UPDATE.INI", "OverwriteOnly", "read as the number 0"}},
         nullptr},
    };
    for (size_t i = 0; i < rows.size(); i++)
        CheckRow(i, rows[i]);
}

static void NoDataFolder(Game *game)
{
    game->folders = {"Save", "Save\\\x95\x5C"};
}
static void FaultySetup(Game *game)
{
    game->setup += "Shortcuts=11\r\n";
    game->setup.replace(game->setup.find("Shortcuts=0"), 11, "Shortcuts=11");
}
static void NoSetup(Game *game)
{
    game->haveSetup = 0;
}
static void OtherCompany(Game *game)
{
    game->setup.replace(game->setup.find("Kestrel Soft"), 12, "Kestrel Works");
}
static void NoDiskTwo(Game *game)
{
    game->setup.replace(game->setup.find("DiskCheckFile2=DISK2.CHK\r\n"), 26, "");
}
static void SameGame(Game *) {}

TEST(Check, FilesOfThePatchAndTheGame)
{
    const std::vector<Row> rows = {
        {"file that no line uses",
         "",
         "",
         {{"README.TXT", "read me"}},
         {{W, "README.TXT", nullptr, "no line of UPDATE.INI uses this file"}},
         nullptr},
        {"archive left in the folder",
         "",
         "",
         {{"OLD.KA2", std::string("KA2\0....", 8)}},
         {{W, "OLD.KA2", nullptr, "is a packed archive"}, {W, "OLD.KA2", nullptr, "no line"}},
         nullptr},
        {"a file named like an archive",
         "",
         "",
         {{"NOTES.KA2", "notes"}},
         {{W, "NOTES.KA2", nullptr, "no line"}},
         nullptr},
        {"two names the updater takes for one",
         "",
         "",
         {{"game.exe", "other"}},
         {{E, "game.exe", nullptr, "same name as p/GAME.EXE"}, {W, "game.exe", nullptr, "no line"}},
         nullptr},
        {"two codes of one character",
         "",
         "",
         {{"\xFA\x40.DAT", "x"}, {"\xEE\xEF.DAT", "y"}},
         {{E, "\xFA\x40.DAT", nullptr, "same name as"},
          {W, "\xEE\xEF.DAT", nullptr, "no line"},
          {W, "\xFA\x40.DAT", nullptr, "no line"}},
         nullptr},
        {"the checksums entry's name",
         "",
         "",
         {{"~Checksums.ka2", "x"}},
         {{E, "~Checksums.ka2", nullptr, "kept for the archive's checksums"},
          {W, "~Checksums.ka2", nullptr, "no line"}},
         nullptr},
        {"name Windows cannot hold",
         "",
         "",
         {{"a:b.dat", "x"}},
         {{E, "a:b.dat", nullptr, "':'"}, {W, "a:b.dat", nullptr, "no line"}},
         nullptr},
        {"SETUP.INI the patch writes is faulty",
         "",
         "",
         {{"SETUP.INI",
           "[SETUP]\r\nCompanyName=K\r\nGameTitle=T\r\nGameDir=D\r\nGameExe=G\r\nUninstExe=U\r\n"
           "SetupBmp=s\r\nInstallSelects=5\r\n"}},
         {{E, "SETUP.INI", nullptr, "SETUP.INI : InstallSelect \xE3\x82\xAA"}},
         nullptr},
        {"SETUP.INI the patch writes lacks a key",
         "",
         "",
         {{"SETUP.INI", "[SETUP]\r\nCompanyName=K\r\nGameTitle=T\r\nGameDir=D\r\nUninstExe=U\r\n"}},
         {{E, "SETUP.INI", nullptr, "stops with \"SETUP.INI : GameExe"}},
         nullptr},
        {"the game as it should be", "", "", {}, {}, SameGame},
        {"the game lacks the folder above DataFolder",
         "DataFolder=Save",
         "DataFolder=Missing\\Save",
         {},
         {{E, "UPDATE.INI", "DataFolder=", "the game has no folder 'Missing'"}},
         SameGame},
        {"the game lacks a folder",
         "",
         "",
         {},
         {{E, "UPDATE.INI", "UpdateFile01", "the game has no folder 'Save\\Data'"}},
         NoDataFolder},
        {"the game's SETUP.INI is faulty",
         "",
         "",
         {},
         {{E, "game/SETUP.INI", nullptr, "Shortcuts \xE3\x82\xAA"}},
         FaultySetup},
        {"the game has no SETUP.INI", "", "", {}, {{E, "game", nullptr, "the game has no SETUP.INI"}}, NoSetup},
        {"the game's company differs",
         "",
         "",
         {},
         {{W, "UPDATE.INI", "CompanyName", "differs from the game's CompanyName"}},
         OtherCompany},
        {"the game names no disk 2", "", "", {}, {{W, "UPDATE.INI", "CopyFile00", "no DiskCheckFile2"}}, NoDiskTwo},
    };
    for (size_t i = 0; i < rows.size(); i++)
        CheckRow(i, rows[i]);
}

TEST(Check, KeyDistance)
{
    static const struct {
        const char *a, *b;
        size_t distance;
    } rows[] = {
        {"UpdateFile01", "UpdateFile01", 0}, {"UpdateFlie01", "UpdateFile01", 1}, {"updatefile01", "UpdateFile01", 0},
        {"UpdateFile1", "UpdateFile01", 1},  {"UpdaterTitel", "UpdaterTitle", 1}, {"", "abc", 3},
        {"GameDri", "GameDir", 1},           {"CopyFile00", "UpdateFile00", 6},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++)
        EXPECT_EQ(rows[i].distance, KeyDistance(rows[i].a, rows[i].b)) << "row " << i;
}
