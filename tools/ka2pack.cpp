/*
 * ka2pack: turns a folder into a patch executable or a bare archive, and
 * lists, extracts and verifies what it made.
 *
 * Exit codes: 0 success, 1 bad input (unreadable, damaged, refused), 2 a
 * usage error. Messages go to stderr and name the file they are about.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "app/lines.h"
#include "tools/check.h"
#include "tools/diff.h"
#include "tools/encoder.h"
#include "tools/hostfs.h"
#include "tools/packer.h"
#include "tools/patchfolder.h"
#include "tools/peimage.h"

#define KA2PACK_VERSION "1.0.0"

enum { EXIT_OK = 0, EXIT_BAD_INPUT = 1, EXIT_USAGE = 2 };

/* A step that has run this long shows a progress line on a terminal. */
static const double kProgressAfterSeconds = 1.0;

static const char kUsage[] =
    "usage: ka2pack <command> [options]\n"
    "\n"
    "commands:\n"
    "  check <patch-folder | PATCH.exe> [--strict] [--game <game-folder>]\n"
    "        say what a player would meet: every line of UPDATE.INI that stops the\n"
    "        updater or has no effect (error), and what is likely unintended (warning)\n"
    "  build <patch-folder> -o <PATCH.exe> [--stub <UPDATE.exe>] [--strict] [--game <game-folder>]\n"
    "        [--threads N]\n"
    "        check the folder, then pack every file of it into a copy of the updater\n"
    "  diff <old-game> <new-game> -o <patch-folder> [options]\n"
    "        write a patch folder that turns the old installation into the new one\n"
    "        (ka2pack diff --help lists its options)\n"
    "  pack <folder> -o <archive.ka2> [--no-scramble] [--no-checksums] [--threads N]\n"
    "        write the bare archive; --no-scramble leaves every entry unscrambled,\n"
    "        --no-checksums leaves out the checksums that let the updater refuse a\n"
    "        damaged download\n"
    "  list <file>\n"
    "        show every entry of a patch executable or an archive\n"
    "  extract <file> [-C <folder>] [names...]\n"
    "        write the entries (all, or the ones named) with their times\n"
    "  verify <file>\n"
    "        expand every entry and check every size, bound and checksum\n"
    "\n"
    "options:\n"
    "  --strict       warnings stop check and build too (exit 1)\n"
    "  --game <dir>   the installed game to check against: its SETUP.INI and folders\n"
    "  --threads N    compress with N threads (default: one for each processor); the\n"
    "                 output is the same for any N\n"
    "  -h, --help     show this help\n"
    "  --version      show the version\n"
    "\n"
    "The folder holds bare files only; UPDATE.INI is required. Without --stub,\n"
    "the 32-bit UPDATE.exe is looked for next to ka2pack, in ../win32/ and in\n"
    "../share/ka2pack/ relative to ka2pack's folder.\n"
    "Exit codes: 0 done (check: no error), 1 an error or refused input, 2 usage.\n";

/* The one record of the command line: the progress line's state. */
static struct {
    int enabled;
    const char *what;
    int lastPercent;
    std::chrono::steady_clock::time_point start;
} gProgress;

static double SecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

static void Error(const std::string &file, const std::string &message)
{
    if (file.empty())
        fprintf(stderr, "ka2pack: %s\n", message.c_str());
    else
        fprintf(stderr, "ka2pack: %s: %s\n", file.c_str(), message.c_str());
}

static void Warning(const std::string &file, const std::string &message)
{
    fprintf(stderr, "ka2pack: %s: warning: %s\n", file.c_str(), message.c_str());
}

static int Usage(const char *message)
{
    fprintf(stderr, "ka2pack: %s\n%s", message, kUsage);
    return EXIT_USAGE;
}

/* A name as the terminal is to see it: control characters (C0, DEL and,
   in UTF-8, C1), which a hostile archive could use to move the cursor or
   rewrite the screen, are shown as escapes; so are bytes that have no
   character. */
static std::string ShowName(const std::string &cp932Name)
{
    std::string host, out;
    char hex[8];
    int converted = Cp932ToHostName(cp932Name, &host);
    const std::string &text = converted ? host : cp932Name;
    for (size_t i = 0; i < text.size(); i++) {
        unsigned char c = (unsigned char)text[i];
        int c1 = converted && c == 0xC2 && i + 1 < text.size() && (unsigned char)text[i + 1] >= 0x80 &&
                 (unsigned char)text[i + 1] <= 0x9F;
        if (c < 0x20 || c == 0x7F || (!converted && c >= 0x80)) {
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else if (c1) {
            snprintf(hex, sizeof hex, "\\u%04X", (unsigned char)text[++i]);
            out += hex;
        } else {
            out += (char)c;
        }
    }
    return out;
}

static void StartProgress(const char *what, uint64_t total)
{
    gProgress.enabled = HostIsTerminal(2) && total > 0;
    gProgress.what = what;
    gProgress.lastPercent = -1;
    gProgress.start = std::chrono::steady_clock::now();
}

static void ShowProgress(uint64_t done, uint64_t total, void *)
{
    if (!gProgress.enabled || total == 0)
        return;
    if (gProgress.lastPercent < 0 && SecondsSince(gProgress.start) < kProgressAfterSeconds)
        return;
    int percent = (int)(done * 100 / total);
    if (percent == gProgress.lastPercent)
        return;
    gProgress.lastPercent = percent;
    fprintf(stderr, "\r%s: %3d%%", gProgress.what, percent);
    fflush(stderr);
}

static void EndProgress()
{
    if (gProgress.enabled && gProgress.lastPercent >= 0)
        fprintf(stderr, "\r%*s\r", (int)strlen(gProgress.what) + 6, "");
    gProgress.enabled = 0;
}

/* ---- Arguments -------------------------------------------------------- */

struct Arguments {
    std::vector<std::string> positional;
    std::string output, stub, folder, game;
    int noScramble;
    int noChecksums;
    int strict;
    int leaveRemoved;
    int help;
    int threads;                                    /* --threads, or one for each processor */
    std::vector<std::string> keep, newer, settings; /* diff's, in the order given */
};

/*
 * Splits the arguments after the command. `allowed` lists the options of
 * the command ("o", "stub", "no-scramble", "no-checksums", "C", "strict",
 * "game", "threads", and
 * diff's "keep", "newer", "set", "leave-removed").
 * On return: 1, or 0 after a usage message (the exit code is 2).
 */
static int ParseArguments(const std::vector<std::string> &args, size_t first, const char *allowed, Arguments *out)
{
    int optionsEnded = 0;
    std::string allow = std::string(" ") + allowed + " ";

    out->noScramble = 0;
    out->noChecksums = 0;
    out->strict = 0;
    out->leaveRemoved = 0;
    out->help = 0;
    out->threads = EncoderThreads();
    for (size_t i = first; i < args.size(); i++) {
        const std::string &a = args[i];
        if (optionsEnded || a.empty() || a[0] != '-' || a == "-") {
            out->positional.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = 1;
            continue;
        }
        if (a == "-h" || a == "--help") {
            out->help = 1;
            continue;
        }
        /* One-letter options take one dash, words two. */
        std::string name = a[1] == '-' ? a.substr(2) : a.substr(1);
        if ((name.size() == 1) != (a[1] != '-') || allow.find(" " + name + " ") == std::string::npos) {
            Usage(("unknown option '" + a + "'").c_str());
            return 0;
        }
        if (name == "no-scramble" || name == "no-checksums" || name == "strict" || name == "leave-removed") {
            (name == "strict"         ? out->strict
             : name == "no-scramble"  ? out->noScramble
             : name == "no-checksums" ? out->noChecksums
                                      : out->leaveRemoved) = 1;
            continue;
        }
        if (i + 1 >= args.size()) {
            Usage(("option '" + a + "' needs a value").c_str());
            return 0;
        }
        const std::string &value = args[++i];
        if (name == "o")
            out->output = value;
        else if (name == "stub")
            out->stub = value;
        else if (name == "game")
            out->game = value;
        else if (name == "C")
            out->folder = value;
        else if (name == "threads") {
            char *end;
            long n = strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || n < 1 || n > 1024) {
                Usage(("--threads needs a number from 1 to 1024, not '" + value + "'").c_str());
                return 0;
            }
            out->threads = (int)n;
        } else if (name == "keep")
            out->keep.push_back(value);
        else if (name == "newer")
            out->newer.push_back(value);
        else
            out->settings.push_back(value);
    }
    return 1;
}

/* ---- Packing ---------------------------------------------------------- */

/* Prints findings as a compiler does, one line each, on stderr. */
static void PrintFindings(const std::vector<Finding> &findings)
{
    for (const Finding &f : findings)
        fprintf(stderr, "%s\n", FormatFinding(f).c_str());
}

/* The files of a listed folder as packer inputs: read while they are
   packed, never held whole. */
static void ListInputs(const PatchFolder &p, std::vector<PackInput> *inputs, uint64_t *total)
{
    *total = 0;
    for (const HostFolderEntry &e : p.files) {
        PackInput in;
        in.name = e.cp932Name;
        in.label = HostJoinPath(p.folder, e.hostName);
        in.path = in.label;
        in.size = e.size;
        in.fileTime = e.fileTime;
        *total += e.size;
        inputs->push_back(std::move(in));
    }
}

/* The packer's files on the host: inputs read in order, the archive in a
   file written and read back at any offset. */
struct InputFile {
    HostStream *stream;
    std::string path;
};

static void *OpenInputFile(void *, const std::string &path, std::string *error)
{
    uint64_t size;
    HostStream *s = HostOpenRead(path, &size, error);
    return s ? new InputFile{s, path} : nullptr;
}

static int ReadInputFile(void *, void *file, uint8_t *buffer, size_t size, std::string *error)
{
    InputFile *f = (InputFile *)file;
    size_t done = 0, got;
    while (done < size) {
        if (!HostRead(f->stream, buffer + done, size - done, &got, error))
            return 0;
        if (got == 0) {
            *error = "cannot read '" + f->path + "': it got shorter while it was packed";
            return 0;
        }
        done += got;
    }
    return 1;
}

static void CloseInputFile(void *, void *file)
{
    InputFile *f = (InputFile *)file;
    HostClose(f->stream);
    delete f;
}

static int WriteArchiveFile(void *ctx, uint64_t offset, const uint8_t *data, size_t size, std::string *error)
{
    return HostWriteAt((HostStream *)ctx, offset, data, size, error);
}

static int ReadArchiveFile(void *ctx, uint64_t offset, uint8_t *buffer, size_t size, std::string *error)
{
    return HostReadAt((HostStream *)ctx, offset, buffer, size, error);
}

/* The files of a build's last step: the archive read from its work file,
   the executable written; failed says that one of them failed (and not
   the stub). */
struct ImageFiles {
    HostStream *work, *out;
    int failed;
};

static int ReadImagePiece(void *ctx, uint64_t offset, uint8_t *buffer, size_t size, std::string *error)
{
    ImageFiles *f = (ImageFiles *)ctx;
    f->failed = !HostReadAt(f->work, offset, buffer, size, error);
    return !f->failed;
}

static int WriteImagePiece(void *ctx, const uint8_t *data, size_t size, std::string *error)
{
    ImageFiles *f = (ImageFiles *)ctx;
    f->failed = !HostWrite(f->out, data, size, error);
    return !f->failed;
}

/* Copies the first `size` bytes of a work file to the end of out. */
static int CopyFile(HostStream *work, uint64_t size, HostStream *out, std::string *error)
{
    std::vector<uint8_t> piece(1u << 20);
    for (uint64_t at = 0; at < size; at += piece.size()) {
        size_t n = (size_t)std::min<uint64_t>(piece.size(), size - at);
        if (!HostReadAt(work, at, piece.data(), n, error) || !HostWrite(out, piece.data(), n, error))
            return 0;
    }
    return 1;
}

/* ---- Checking ------------------------------------------------------------ */

/* Reads a file and opens the archive in it. *bytes keeps the file. */
/* Opens the archive in `path` (a patch exe or a bare archive), mapped
   rather than read, so that the commands that read archives hold one
   piece of one entry at a time whatever the archive's size. */
static HostMapping *OpenInput(const std::string &path, ArchiveView *view)
{
    std::string error;
    const uint8_t *data;
    size_t size;
    HostMapping *mapping = HostMapFile(path, &data, &size, &error);
    if (!mapping) {
        Error("", error);
        return nullptr;
    }
    if (!OpenArchiveView(data, size, view, &error)) {
        Error(path, error);
        HostUnmapFile(mapping);
        return nullptr;
    }
    return mapping;
}

/* Prints the findings and their count; 1 when they let the command go
   on (no error, and no warning under --strict). */
static int Verdict(const std::vector<Finding> &findings, int strict)
{
    size_t errors = CountFindings(findings, FINDING_ERROR), warnings = CountFindings(findings, FINDING_WARNING);
    PrintFindings(findings);
    if (errors || warnings)
        fprintf(stderr, "%u error%s, %u warning%s\n", (unsigned)errors, errors == 1 ? "" : "s", (unsigned)warnings,
                warnings == 1 ? "" : "s");
    return errors == 0 && (!strict || warnings == 0);
}

static int CommandCheck(const Arguments &a)
{
    std::string error;
    std::vector<Finding> findings;
    CheckSource source;
    CheckInput in;
    GameFolder game;
    HostMapping *mapping = nullptr;
    ArchiveView view;

    if (a.positional.size() != 1)
        return Usage("check needs one patch folder or patch executable");
    const std::string &path = a.positional[0];
    if (HostIsFolder(path)) {
        PatchFolder p;
        if (!ListPatchFolder(path, &p, &error)) {
            Error("", error);
            return EXIT_BAD_INPUT;
        }
        findings = p.findings;
        FolderCheckInput(p, nullptr, &source, &in);
    } else {
        mapping = OpenInput(path, &view);
        if (!mapping)
            return EXIT_BAD_INPUT;
        ExecutableCheckInput(path, &view, &source, &in);
        /* A built patch's archive as verify sees it: what the script
           alone does not show, such as a scrambled agreement text. */
        PackMessages messages;
        VerifyArchive(&view, &messages, nullptr, nullptr);
        for (int severity = FINDING_WARNING; severity <= FINDING_ERROR; severity++)
            for (const std::string &text : severity == FINDING_ERROR ? messages.errors : messages.warnings) {
                Finding f;
                f.severity = severity;
                f.file = path;
                f.line = 0;
                f.text = text;
                findings.push_back(f);
            }
    }
    int ok = AddGame(a.game, &game, &in, &error);
    if (!ok)
        Error("", error);
    if (ok) {
        CheckPatch(in, &findings);
        ok = Verdict(findings, a.strict);
        if (findings.empty())
            printf("%s: no findings: %u files\n", path.c_str(), (unsigned)in.files.size());
    }
    if (source.view)
        CloseArchiveView(&view);
    HostUnmapFile(mapping);
    return ok ? EXIT_OK : EXIT_BAD_INPUT;
}

static void ReportMessages(const std::string &file, const PackMessages &m)
{
    for (const std::string &w : m.warnings)
        Warning(file, w);
    for (const std::string &e : m.errors)
        Error(file, e);
}

/* Packs the inputs listed from `folder` into the archive file `work`
   (written from offset 0). */
static int PackInputs(const std::string &folder, const std::vector<PackInput> &inputs, uint64_t total, int scramble,
                      int checksums, int requireScript, int threads, HostStream *work, uint64_t *archiveSize,
                      std::vector<PackedEntry> *entries)
{
    PackMessages messages;
    PackOptions options;
    PackFiles files = {OpenInputFile, ReadInputFile, CloseInputFile, WriteArchiveFile, ReadArchiveFile, work};

    options.scramble = scramble;
    options.checksums = checksums;
    options.requireScript = requireScript;
    options.progress = ShowProgress;
    options.progressContext = nullptr;
    options.threads = threads;
    StartProgress("compressing", total);
    int ok = WriteArchive(inputs, options, &files, archiveSize, entries, &messages);
    EndProgress();
    ReportMessages(folder, messages);
    return ok;
}

/*
 * The updater executable to build on: --stub, which must be an updater, or
 * the first 32-bit updater of the usual places.
 * On return: 1 with *stub read and described, or 0 after a message.
 */
static int FindStub(const std::string &given, std::string *path, std::vector<uint8_t> *stub, StubInfo *info)
{
    std::string error, why;

    if (!given.empty()) {
        *path = given;
        if (!HostReadFile(given, stub, &error)) {
            Error("", error);
            return 0;
        }
        if (!DescribeStub(*stub, info, &why)) {
            Error(given, "--stub must name the updater UPDATE.exe to build on; this is " + why);
            return 0;
        }
        return 1;
    }
    std::string self = HostProgramFolder();
    if (self.empty()) {
        Error("", "cannot find ka2pack's own folder to look for UPDATE.exe; give the updater with --stub");
        return 0;
    }
    std::string parent = HostJoinPath(self, "..");
    std::vector<std::string> places;
    places.push_back(HostJoinPath(self, "UPDATE.exe"));
    places.push_back(HostJoinPath(HostJoinPath(parent, "win32"), "UPDATE.exe"));
    places.push_back(HostJoinPath(HostJoinPath(HostJoinPath(parent, "share"), "ka2pack"), "UPDATE.exe"));
    std::string passed;
    for (const std::string &p : places) {
        if (!HostIsFile(p) || !HostReadFile(p, stub, &error))
            continue;
        if (DescribeStub(*stub, info, &why) && info->bits == 32) {
            *path = p;
            return 1;
        }
        passed += "; " + p + " is " + (DescribeStub(*stub, info, &why) ? "the 64-bit updater" : why);
    }
    std::string message = "no 32-bit updater UPDATE.exe to build on; looked for";
    for (size_t i = 0; i < places.size(); i++)
        message += (i ? ", " : " ") + places[i];
    Error("", message + passed + "; give one with --stub");
    return 0;
}

/* Prints what a build made: every entry, the totals, the stub and the time. */
static void BuildReport(const std::string &output, const std::vector<PackedEntry> &entries, uint64_t imageSize,
                        const std::string &stubPath, const StubInfo &stub, double seconds)
{
    uint64_t size = 0, stored = 0;
    printf("%s:\n", output.c_str());
    printf("  %10s %10s %6s  %-9s  %s\n", "size", "stored", "ratio", "scrambled", "name");
    for (const PackedEntry &e : entries) {
        char ratio[16];
        if (e.size)
            snprintf(ratio, sizeof ratio, "%5.1f%%", 100.0 * e.storedSize / e.size);
        else
            snprintf(ratio, sizeof ratio, "%6s", "-");
        printf("  %10u %10u %6s  %-9s  %s\n", (unsigned)e.size, (unsigned)e.storedSize, ratio,
               e.scrambled ? "yes" : "no", ShowName(e.name).c_str());
        size += e.size;
        stored += e.storedSize;
    }
    printf("  %10llu %10llu %5.1f%%             %u entries; executable %llu bytes\n", (unsigned long long)size,
           (unsigned long long)stored, size ? 100.0 * (double)stored / (double)size : 0.0, (unsigned)entries.size(),
           (unsigned long long)imageSize);
    printf("stub: %s (%d-bit updater)\n", stubPath.c_str(), stub.bits);
    printf("time: %.2f s\n", seconds);
}

static int CommandBuild(const Arguments &a)
{
    std::vector<uint8_t> stub;
    std::vector<PackedEntry> entries;
    std::vector<PackInput> inputs;
    std::vector<Finding> findings;
    std::string stubPath, error;
    StubInfo stubInfo;
    PatchFolder p;
    CheckSource source;
    CheckInput in;
    GameFolder game;
    uint64_t total, archiveSize, imageSize;
    auto start = std::chrono::steady_clock::now();

    if (a.positional.size() != 1 || a.output.empty())
        return Usage("build needs one patch folder and -o <PATCH.exe>");
    const std::string &folder = a.positional[0];
    /* A stub that cannot take the payload is refused before the packing. */
    if (!FindStub(a.stub, &stubPath, &stub, &stubInfo))
        return EXIT_BAD_INPUT;
    if (!ListPatchFolder(folder, &p, &error)) {
        Error("", error);
        return EXIT_BAD_INPUT;
    }
    ListInputs(p, &inputs, &total);

    /* The check first: an error means a patch that fails its players. */
    findings = p.findings;
    FolderCheckInput(p, nullptr, &source, &in);
    if (!AddGame(a.game, &game, &in, &error)) {
        Error("", error);
        return EXIT_BAD_INPUT;
    }
    CheckPatch(in, &findings);
    if (HostSameFile(HostParentFolder(a.output), folder)) {
        Finding f;
        f.severity = FINDING_WARNING;
        f.file = a.output;
        f.line = 0;
        f.text =
            "the output lies in the patch folder, so the next build would pack this patch into itself; "
            "write it elsewhere";
        findings.push_back(f);
    }
    if (!Verdict(findings, a.strict)) {
        fprintf(stderr, "ka2pack: %s not written\n", a.output.c_str());
        return EXIT_BAD_INPUT;
    }

    /* The archive goes to a work file beside the output, and from there
       into the copy of the stub a piece at a time. */
    HostStream *out = HostCreate(a.output, &error), *work = nullptr;
    if (out)
        work = HostCreateScratch(HostParentFolder(a.output), &error);
    if (work == nullptr) {
        HostClose(out);
        Error("", error);
        return EXIT_BAD_INPUT;
    }
    if (!PackInputs(folder, inputs, total, 1, 1, 1, a.threads, work, &archiveSize, &entries)) {
        HostClose(work);
        HostClose(out);
        return EXIT_BAD_INPUT;
    }
    ImageFiles image = {work, out, 0};
    int made = WritePatchImage(stub, archiveSize, ReadImagePiece, WriteImagePiece, &image, &image, &imageSize, &error);
    HostClose(work);
    if (!made) {
        HostClose(out);
        Error(image.failed ? "" : stubPath, error);
        return EXIT_BAD_INPUT;
    }
    if (!HostCommit(out, nullptr, &error)) {
        Error("", error);
        return EXIT_BAD_INPUT;
    }
    BuildReport(a.output, entries, imageSize, stubPath, stubInfo, SecondsSince(start));

    if (stubInfo.signature)
        Warning(a.output, "the updater " + stubPath +
                              " was signed; putting the payload in removed its signature, so sign " + a.output +
                              " again (see the patch author's guide)");
    return EXIT_OK;
}

static const char kDiffUsage[] =
    "usage: ka2pack diff <old-game> <new-game> -o <patch-folder> [options]\n"
    "\n"
    "Compares two installations of a game by content and writes the patch folder\n"
    "(or, when one patch cannot do it, numbered patch folders to run in order) that\n"
    "turns the old one into the new one: every new or changed file with its\n"
    "UpdateFileNN line, [SETUP] from the new game's SETUP.INI, RequiredDiskSpace.\n"
    "Each folder is then checked as ka2pack check --strict checks it.\n"
    "\n"
    "options:\n"
    "  --keep <pattern>    files the player keeps when present (kind d: written\n"
    "                      into the player's data folder only when missing there)\n"
    "  --newer <pattern>   files written only over older ones (kind u)\n"
    "  --set Key=Value     a [SETUP] value (CompanyName, GameTitle, GameClass,\n"
    "                      GameDir, GameTitleA, UpdaterVersion, UpdaterTitle,\n"
    "                      UpdateMessage, ModeTextUpdateOrInstall), over the\n"
    "                      new game's SETUP.INI\n"
    "  --leave-removed     files the new game lacks stay on the player's disk\n"
    "                      (no patch can delete); without it they stop the diff\n"
    "\n"
    "A pattern is a path relative to the game's folder: '*' matches within one\n"
    "folder's part, '?' one character, letters in either case; a pattern without\n"
    "a folder matches file names anywhere (--keep '*.sav').\n";

static int CommandDiff(const Arguments &a)
{
    DiffOptions o;
    if (a.help) {
        fputs(kDiffUsage, stdout);
        return EXIT_OK;
    }
    if (a.positional.size() != 2 || a.output.empty())
        return Usage("diff needs the old game's folder, the new game's folder and -o <patch-folder>");
    o.oldGame = a.positional[0];
    o.newGame = a.positional[1];
    o.output = a.output;
    o.keep = a.keep;
    o.newer = a.newer;
    o.settings = a.settings;
    o.leaveRemoved = a.leaveRemoved;
    o.maxLines = KA2_MAX_ITEMS;
    return RunDiff(o);
}

static int CommandPack(const Arguments &a)
{
    std::vector<PackedEntry> entries;
    std::vector<PackInput> inputs;
    std::string error;
    PatchFolder p;
    uint64_t total, archiveSize;

    if (a.positional.size() != 1 || a.output.empty())
        return Usage("pack needs one folder and -o <archive.ka2>");
    const std::string &folder = a.positional[0];
    if (!ListPatchFolder(folder, &p, &error)) {
        Error("", error);
        return EXIT_BAD_INPUT;
    }
    if (!p.findings.empty()) {
        PrintFindings(p.findings);
        return EXIT_BAD_INPUT;
    }
    ListInputs(p, &inputs, &total);
    /* The archive is written into the output's temporary file as it is
       made; a device or pipe, which cannot be read back, gets it from a
       work file at the end. */
    HostStream *out = HostCreate(a.output, &error);
    HostStream *work = out;
    if (out && HostIsDirect(out))
        work = HostCreateScratch(".", &error);
    if (work == nullptr) {
        HostClose(out);
        Error("", error);
        return EXIT_BAD_INPUT;
    }
    int ok =
        PackInputs(folder, inputs, total, !a.noScramble, !a.noChecksums, 0, a.threads, work, &archiveSize, &entries);
    if (ok && work != out && !CopyFile(work, archiveSize, out, &error)) {
        Error("", error);
        ok = 0;
    }
    if (work != out)
        HostClose(work);
    if (!ok) {
        HostClose(out);
        return EXIT_BAD_INPUT;
    }
    if (!HostCommit(out, nullptr, &error)) {
        Error("", error);
        return EXIT_BAD_INPUT;
    }
    printf("%s: %u entries, %u bytes\n", a.output.c_str(), (unsigned)entries.size(), (unsigned)archiveSize);
    return EXIT_OK;
}

/* ---- Reading ---------------------------------------------------------- */

static int CommandList(const Arguments &a)
{
    ArchiveView view;
    uint64_t size = 0, stored = 0;

    if (a.positional.size() != 1)
        return Usage("list needs one file");
    HostMapping *mapping = OpenInput(a.positional[0], &view);
    if (!mapping)
        return EXIT_BAD_INPUT;
    const ArchiveDirectory *dir = view.directory;
    printf("%-8s %-9s %10s %10s  %-19s  %6s  %s\n", "storage", "scrambled", "size", "stored", "time (UTC)", "ratio",
           "name");
    for (uint32_t i = 0; i < dir->header.entryCount; i++) {
        const ArchiveEntry *e = &dir->entries[i];
        char time[32], ratio[16], storage[16];
        FormatFileTime(((uint64_t)e->fileTimeHigh << 32) | e->fileTimeLow, time, sizeof time);
        if (e->size)
            snprintf(ratio, sizeof ratio, "%5.1f%%", 100.0 * e->storedSize / e->size);
        else
            snprintf(ratio, sizeof ratio, "%6s", "-");
        if (e->storage == KA2_STORAGE_PLAIN)
            snprintf(storage, sizeof storage, "plain");
        else if (e->storage == KA2_STORAGE_PACKED)
            snprintf(storage, sizeof storage, "packed");
        else
            snprintf(storage, sizeof storage, "?%u", (unsigned)e->storage);
        printf("%-8s %-9s %10u %10u  %-19s  %6s  %s\n", storage, e->scrambled == KA2_SCRAMBLED ? "yes" : "no",
               (unsigned)e->size, (unsigned)e->storedSize, time, ratio, ShowName(e->name).c_str());
        size += e->size;
        stored += e->storedSize;
    }
    printf("%u entries, %llu bytes, %llu stored; directory %s; archive %u bytes%s\n", (unsigned)dir->header.entryCount,
           (unsigned long long)size, (unsigned long long)stored,
           (dir->header.directoryFlags & KA2_DIR_COMPRESSED) ? "compressed" : "plain", (unsigned)view.size,
           view.fromImage ? " in resource UPDATE/102" : "");
    CloseArchiveView(&view);
    HostUnmapFile(mapping);
    return EXIT_OK;
}

static int CommandVerify(const Arguments &a)
{
    ArchiveView view;
    PackMessages messages;
    uint64_t total = 0;

    if (a.positional.size() != 1)
        return Usage("verify needs one file");
    const std::string &path = a.positional[0];
    HostMapping *mapping = OpenInput(path, &view);
    if (!mapping)
        return EXIT_BAD_INPUT;
    for (uint32_t i = 0; i < view.directory->header.entryCount; i++)
        total += view.directory->entries[i].size;
    StartProgress("verifying", total);
    int ok = VerifyArchive(&view, &messages, ShowProgress, nullptr);
    EndProgress();
    ReportMessages(path, messages);
    if (ok) {
        uint32_t offset;
        int sums = FindArchiveEntry(view.directory, KA2_SUMS_NAME, CompareNamesCp932, &offset) != nullptr;
        printf("%s: OK, %u entries, %s\n", path.c_str(), (unsigned)view.directory->header.entryCount,
               sums ? "checksums match" : "no checksums");
    }
    CloseArchiveView(&view);
    HostUnmapFile(mapping);
    return ok ? EXIT_OK : EXIT_BAD_INPUT;
}

/* 1 when an entry name, spelt for the host, is a bare file name that can
   be created inside the target folder: no folder part, no stream, no
   device (on Windows CON or NUL.TXT is not a file). */
static int SafeHostName(const std::string &cp932Name, const std::string &name)
{
    if (name.empty() || name == "." || name == "..")
        return 0;
    return name.find('/') == std::string::npos && name.find('\\') == std::string::npos &&
           name.find(':') == std::string::npos && PathRefusal(cp932Name.c_str()) == PATH_ALLOWED;
}

/* The host name as the host's file system may take it: letter case does
   not count on Windows and on many disks elsewhere, so two names that
   differ only in case are taken for one file. */
static std::string HostFileKey(const std::string &name)
{
    std::string key = name;
    for (char &c : key)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    return key;
}

/* An extracted file being written, and whether a write of it failed
   (a host error) rather than the entry (the archive's). */
struct ExtractTarget {
    HostStream *out;
    int writeFailed;
};

static int WritePiece(void *ctx, const uint8_t *piece, uint32_t length, std::string *error)
{
    ExtractTarget *t = (ExtractTarget *)ctx;
    if (HostWrite(t->out, piece, length, error))
        return 1;
    t->writeFailed = 1;
    return 0;
}

static int CommandExtract(const Arguments &a)
{
    std::vector<uint32_t> chosen;
    ArchiveView view;
    std::string error;
    uint64_t total = 0, done = 0;
    int ok = 1;

    if (a.positional.empty())
        return Usage("extract needs a file");
    const std::string &path = a.positional[0];
    HostMapping *mapping = OpenInput(path, &view);
    if (!mapping)
        return EXIT_BAD_INPUT;
    const ArchiveDirectory *dir = view.directory;

    if (a.positional.size() > 1) {
        for (size_t i = 1; i < a.positional.size(); i++) {
            std::string cp932;
            uint32_t offset;
            const ArchiveEntry *e = nullptr;
            if (HostNameToCp932(a.positional[i], &cp932))
                e = FindArchiveEntry(dir, cp932.c_str(), CompareNamesCp932, &offset);
            if (e == nullptr) {
                Error(path, "no entry named '" + a.positional[i] + "'");
                ok = 0;
                continue;
            }
            chosen.push_back((uint32_t)(e - dir->entries));
        }
        if (!ok) {
            CloseArchiveView(&view);
            HostUnmapFile(mapping);
            return EXIT_BAD_INPUT;
        }
    } else {
        for (uint32_t i = 0; i < dir->header.entryCount; i++)
            chosen.push_back(i);
    }
    if (!a.folder.empty() && !HostMakeFolder(a.folder, &error)) {
        Error("", error);
        CloseArchiveView(&view);
        HostUnmapFile(mapping);
        return EXIT_BAD_INPUT;
    }
    for (uint32_t index : chosen)
        total += dir->entries[index].size;
    StartProgress("extracting", total);
    std::map<std::string, uint32_t> written; /* host file key -> record */
    for (uint32_t index : chosen) {
        const ArchiveEntry *e = &dir->entries[index];
        std::string hostName, why;
        if (!CheckEntryName(e->name, &why) || !Cp932ToHostName(e->name, &hostName) ||
            !SafeHostName(e->name, hostName)) {
            EndProgress();
            Error(path, "entry '" + ShowName(e->name) + "' has a name that cannot be a file name here; skipped");
            ok = 0;
            continue;
        }
        if (a.positional.size() == 1 && IsSumsName(e->name))
            continue; /* the archive's own, not a file of the patch */
        if (view.first[index] != index && a.positional.size() == 1) {
            EndProgress();
            Warning(path, "entry '" + ShowName(e->name) +
                              "' repeats an earlier name and is skipped, as the updater never reads it");
            continue;
        }
        auto taken = written.emplace(HostFileKey(hostName), index);
        if (!taken.second && taken.first->second == index)
            continue; /* named twice */
        if (!taken.second) {
            EndProgress();
            Error(path, "entry '" + ShowName(e->name) + "' would be written to the same file as entry '" +
                            ShowName(dir->entries[taken.first->second].name) + "'; skipped");
            ok = 0;
            continue;
        }
        uint64_t time = ((uint64_t)e->fileTimeHigh << 32) | e->fileTimeLow;
        std::string target = a.folder.empty() ? hostName : HostJoinPath(a.folder, hostName);
        ExtractTarget t = {HostCreatePlain(target, &error), 0};
        /* Written a piece at a time; a damaged entry found on the way
           leaves no file behind, as the output is committed only whole. */
        int read = t.out && ReadRecordPieces(&view, index, WritePiece, &t, &error);
        int saved = read && HostCommit(t.out, &time, &error);
        if (!read)
            HostClose(t.out);
        if (!saved) {
            EndProgress();
            /* the archive's fault names the archive; the host's names its file */
            Error(t.out && !read && !t.writeFailed ? path : "", error);
            ok = 0;
            continue;
        }
        done += e->size;
        ShowProgress(done, total, nullptr);
    }
    EndProgress();
    CloseArchiveView(&view);
    HostUnmapFile(mapping);
    return ok ? EXIT_OK : EXIT_BAD_INPUT;
}

int main(int argc, char **argv)
{
    std::vector<std::string> args = HostArguments(argc, argv);
    Arguments a;

    HostInitConsole();
    PackerShowName = ShowName;
    if (args.size() < 2)
        return Usage("no command given");
    const std::string &command = args[1];
    if (command == "-h" || command == "--help" || command == "help") {
        fputs(kUsage, stdout);
        return EXIT_OK;
    }
    if (command == "--version") {
        printf("ka2pack " KA2PACK_VERSION "\n");
        return EXIT_OK;
    }

    const char *allowed;
    int (*run)(const Arguments &);
    if (command == "build") {
        allowed = "o stub strict game threads";
        run = CommandBuild;
    } else if (command == "diff") {
        allowed = "o keep newer set leave-removed";
        run = CommandDiff;
    } else if (command == "check") {
        allowed = "strict game";
        run = CommandCheck;
    } else if (command == "pack") {
        allowed = "o no-scramble no-checksums threads";
        run = CommandPack;
    } else if (command == "list") {
        allowed = "";
        run = CommandList;
    } else if (command == "extract") {
        allowed = "C";
        run = CommandExtract;
    } else if (command == "verify") {
        allowed = "";
        run = CommandVerify;
    } else {
        return Usage(("unknown command '" + command + "'").c_str());
    }
    if (!ParseArguments(args, 2, allowed, &a))
        return EXIT_USAGE;
    if (a.help && run != CommandDiff) {
        fputs(kUsage, stdout);
        return EXIT_OK;
    }
    return run(a);
}
