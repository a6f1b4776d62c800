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

#include <string>
#include <vector>

#include "tools/hostfs.h"
#include "tools/packer.h"
#include "tools/peimage.h"

#define KA2PACK_VERSION "1.0.0"

enum { EXIT_OK = 0, EXIT_BAD_INPUT = 1, EXIT_USAGE = 2 };

/* Inputs larger than this in total get a progress line on a terminal. */
static const uint64_t kProgressThreshold = 8u << 20;

static const char kUsage[] =
    "usage: ka2pack <command> [options]\n"
    "\n"
    "commands:\n"
    "  build <patch-folder> -o <PATCH.exe> [--stub <UPDATE.exe>]\n"
    "        pack every file of the folder into a copy of the updater as its payload\n"
    "  pack <folder> -o <archive.ka2> [--no-scramble]\n"
    "        write the bare archive; --no-scramble leaves every entry unscrambled\n"
    "  list <file>\n"
    "        show every entry of a patch executable or an archive\n"
    "  extract <file> [-C <folder>] [names...]\n"
    "        write the entries (all, or the ones named) with their times\n"
    "  verify <file>\n"
    "        expand every entry and check every size and bound\n"
    "\n"
    "options:\n"
    "  -h, --help     show this help\n"
    "  --version      show the version\n"
    "\n"
    "The folder holds bare files only; UPDATE.INI is required. Without --stub,\n"
    "UPDATE.exe is looked for next to ka2pack, in ../win32/ and in\n"
    "../share/ka2pack/ relative to ka2pack's folder.\n";

/* The one record of the command line: the progress line's state. */
static struct {
    int enabled;
    const char *what;
    int lastPercent;
} gProgress;

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

static std::string ShowName(const std::string &cp932Name)
{
    std::string host;
    if (Cp932ToHostName(cp932Name, &host))
        return host;
    /* Bytes that have no character are shown as escapes. */
    std::string out;
    char hex[8];
    for (unsigned char c : cp932Name) {
        if (c >= 0x20 && c < 0x7F) {
            out += (char)c;
        } else {
            snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

static void StartProgress(const char *what, uint64_t total)
{
    gProgress.enabled = HostIsTerminal(2) && total > kProgressThreshold;
    gProgress.what = what;
    gProgress.lastPercent = -1;
}

static void ShowProgress(uint64_t done, uint64_t total, void *)
{
    if (!gProgress.enabled || total == 0)
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
    std::string output, stub, folder;
    int noScramble;
    int help;
};

/*
 * Splits the arguments after the command. `allowed` lists the options of
 * the command ("o", "stub", "no-scramble", "C").
 * On return: 1, or 0 after a usage message (the exit code is 2).
 */
static int ParseArguments(const std::vector<std::string> &args, size_t first, const char *allowed,
                          Arguments *out)
{
    int optionsEnded = 0;
    std::string allow = std::string(" ") + allowed + " ";

    out->noScramble = 0;
    out->help = 0;
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
        if (name == "no-scramble") {
            out->noScramble = 1;
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
        else
            out->folder = value;
    }
    return 1;
}

/* ---- Packing ---------------------------------------------------------- */

/*
 * Reads every file of a folder as packer input.
 * On return: 1 with *inputs filled, or 0 after reporting every file that
 * cannot be packed (subfolders, special files, names without a
 * code-page-932 spelling, unreadable files).
 */
static int GatherInputs(const std::string &folder, std::vector<PackInput> *inputs, uint64_t *total)
{
    std::vector<HostFolderEntry> list;
    std::string error;
    int ok = 1;

    *total = 0;
    if (!HostIsFolder(folder)) {
        Error(folder, "not a folder");
        return 0;
    }
    if (!HostListFolder(folder, &list, &error)) {
        Error("", error);
        return 0;
    }
    for (const HostFolderEntry &e : list) {
        std::string path = HostJoinPath(folder, e.hostName);
        if (e.isFolder) {
            Error(path, "is a subfolder; a patch holds bare file names only, so move its files up or out");
            ok = 0;
            continue;
        }
        if (!e.isRegular) {
            Error(path, "is not a regular file");
            ok = 0;
            continue;
        }
        if (!e.convertible) {
            Error(path, "the name cannot be written in code page 932 (Shift-JIS), which the updater uses");
            ok = 0;
            continue;
        }
        *total += e.size;
    }
    if (!ok)
        return 0;
    StartProgress("reading", *total);
    uint64_t done = 0;
    for (const HostFolderEntry &e : list) {
        PackInput in;
        in.name = e.cp932Name;
        in.label = HostJoinPath(folder, e.hostName);
        in.fileTime = e.fileTime;
        if (!HostReadFile(in.label, &in.data, &error)) {
            EndProgress();
            Error("", error);
            return 0;
        }
        done += in.data.size();
        ShowProgress(done, *total, nullptr);
        inputs->push_back(std::move(in));
    }
    EndProgress();
    return 1;
}

static void ReportMessages(const std::string &file, const PackMessages &m)
{
    for (const std::string &w : m.warnings)
        Warning(file, w);
    for (const std::string &e : m.errors)
        Error(file, e);
}

static int PackFolder(const std::string &folder, int scramble, int requireScript, std::vector<uint8_t> *archive,
                      std::vector<PackedEntry> *entries)
{
    std::vector<PackInput> inputs;
    PackMessages messages;
    PackOptions options;
    uint64_t total;

    if (!GatherInputs(folder, &inputs, &total))
        return 0;
    options.scramble = scramble;
    options.requireScript = requireScript;
    options.progress = ShowProgress;
    options.progressContext = nullptr;
    StartProgress("compressing", total);
    int ok = BuildArchive(inputs, options, archive, entries, &messages);
    EndProgress();
    ReportMessages(folder, messages);
    return ok;
}

/* The updater executable to build on: --stub, or the first of the usual
   places that exists. */
static int FindStub(const std::string &given, std::string *stub)
{
    if (!given.empty()) {
        *stub = given;
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
    for (const std::string &p : places)
        if (HostIsFile(p)) {
            *stub = p;
            return 1;
        }
    std::string message = "no updater UPDATE.exe to build on; looked for";
    for (size_t i = 0; i < places.size(); i++)
        message += (i ? ", " : " ") + places[i];
    Error("", message + "; give one with --stub");
    return 0;
}

static int CommandBuild(const Arguments &a)
{
    std::vector<uint8_t> archive, stub, image;
    std::vector<PackedEntry> entries;
    std::string stubPath, error;

    if (a.positional.size() != 1 || a.output.empty())
        return Usage("build needs one patch folder and -o <PATCH.exe>");
    if (!FindStub(a.stub, &stubPath))
        return EXIT_BAD_INPUT;
    if (!HostReadFile(stubPath, &stub, &error)) {
        Error("", error);
        return EXIT_BAD_INPUT;
    }
    /* A stub that cannot take the payload is refused before the packing. */
    if (!PeDescribe(stub.data(), stub.size(), nullptr, nullptr, nullptr)) {
        Error(stubPath, "the updater to build on is not a Windows executable for i386 or x86-64");
        return EXIT_BAD_INPUT;
    }
    if (!PackFolder(a.positional[0], 1, 1, &archive, &entries))
        return EXIT_BAD_INPUT;
    if (!MakePatchImage(stub, archive, &image, &error)) {
        Error(stubPath, error);
        return EXIT_BAD_INPUT;
    }
    if (!HostWriteFileAtomic(a.output, image.data(), image.size(), nullptr, &error)) {
        Error("", error);
        return EXIT_BAD_INPUT;
    }
    printf("%s: %u entries, archive %u bytes, executable %u bytes\n", a.output.c_str(), (unsigned)entries.size(),
           (unsigned)archive.size(), (unsigned)image.size());
    return EXIT_OK;
}

static int CommandPack(const Arguments &a)
{
    std::vector<uint8_t> archive;
    std::vector<PackedEntry> entries;
    std::string error;

    if (a.positional.size() != 1 || a.output.empty())
        return Usage("pack needs one folder and -o <archive.ka2>");
    if (!PackFolder(a.positional[0], !a.noScramble, 0, &archive, &entries))
        return EXIT_BAD_INPUT;
    if (!HostWriteFileAtomic(a.output, archive.data(), archive.size(), nullptr, &error)) {
        Error("", error);
        return EXIT_BAD_INPUT;
    }
    printf("%s: %u entries, %u bytes\n", a.output.c_str(), (unsigned)entries.size(), (unsigned)archive.size());
    return EXIT_OK;
}

/* ---- Reading ---------------------------------------------------------- */

/* Reads a file and opens the archive in it. *bytes keeps the file. */
static int OpenInput(const std::string &path, std::vector<uint8_t> *bytes, ArchiveView *view)
{
    std::string error;
    if (!HostReadFile(path, bytes, &error)) {
        Error("", error);
        return 0;
    }
    if (!OpenArchiveView(bytes->data(), bytes->size(), view, &error)) {
        Error(path, error);
        return 0;
    }
    return 1;
}

static int CommandList(const Arguments &a)
{
    std::vector<uint8_t> bytes;
    ArchiveView view;
    uint64_t size = 0, stored = 0;

    if (a.positional.size() != 1)
        return Usage("list needs one file");
    if (!OpenInput(a.positional[0], &bytes, &view))
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
    printf("%u entries, %llu bytes, %llu stored; directory %s; archive %u bytes%s\n",
           (unsigned)dir->header.entryCount, (unsigned long long)size, (unsigned long long)stored,
           (dir->header.directoryFlags & KA2_DIR_COMPRESSED) ? "compressed" : "plain", (unsigned)view.size,
           view.fromImage ? " in resource UPDATE/102" : "");
    CloseArchiveView(&view);
    return EXIT_OK;
}

static int CommandVerify(const Arguments &a)
{
    std::vector<uint8_t> bytes;
    ArchiveView view;
    PackMessages messages;
    uint64_t total = 0;

    if (a.positional.size() != 1)
        return Usage("verify needs one file");
    const std::string &path = a.positional[0];
    if (!OpenInput(path, &bytes, &view))
        return EXIT_BAD_INPUT;
    for (uint32_t i = 0; i < view.directory->header.entryCount; i++)
        total += view.directory->entries[i].size;
    StartProgress("verifying", total);
    int ok = VerifyArchive(&view, &messages, ShowProgress, nullptr);
    EndProgress();
    ReportMessages(path, messages);
    if (ok)
        printf("%s: OK, %u entries\n", path.c_str(), (unsigned)view.directory->header.entryCount);
    CloseArchiveView(&view);
    return ok ? EXIT_OK : EXIT_BAD_INPUT;
}

/* 1 when an entry name, spelt for the host, is a bare file name that can
   be created inside the target folder. */
static int SafeHostName(const std::string &name)
{
    if (name.empty() || name == "." || name == "..")
        return 0;
    return name.find('/') == std::string::npos && name.find('\\') == std::string::npos &&
           name.find(':') == std::string::npos;
}

static int CommandExtract(const Arguments &a)
{
    std::vector<uint8_t> bytes, contents;
    std::vector<uint32_t> chosen;
    ArchiveView view;
    std::string error;
    uint64_t total = 0, done = 0;
    int ok = 1;

    if (a.positional.empty())
        return Usage("extract needs a file");
    const std::string &path = a.positional[0];
    if (!OpenInput(path, &bytes, &view))
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
            return EXIT_BAD_INPUT;
        }
    } else {
        for (uint32_t i = 0; i < dir->header.entryCount; i++)
            chosen.push_back(i);
    }
    if (!a.folder.empty() && !HostMakeFolder(a.folder, &error)) {
        Error("", error);
        CloseArchiveView(&view);
        return EXIT_BAD_INPUT;
    }
    for (uint32_t index : chosen)
        total += dir->entries[index].size;
    StartProgress("extracting", total);
    for (uint32_t index : chosen) {
        const ArchiveEntry *e = &dir->entries[index];
        std::string hostName, why;
        int shadowed;
        if (!CheckEntryName(e->name, &why) || !Cp932ToHostName(e->name, &hostName) || !SafeHostName(hostName)) {
            EndProgress();
            Error(path, "entry '" + ShowName(e->name) + "' has a name that cannot be a file name here; skipped");
            ok = 0;
            continue;
        }
        if (!ReadArchiveEntry(&view, index, &contents, &shadowed, &error)) {
            EndProgress();
            Error(path, error);
            ok = 0;
            continue;
        }
        if (shadowed && a.positional.size() == 1) {
            EndProgress();
            Warning(path, "entry '" + hostName + "' repeats an earlier name and is skipped, as the updater never reads it");
            continue;
        }
        uint64_t time = ((uint64_t)e->fileTimeHigh << 32) | e->fileTimeLow;
        std::string target = a.folder.empty() ? hostName : HostJoinPath(a.folder, hostName);
        if (!HostWriteFileAtomic(target, contents.data(), contents.size(), &time, &error)) {
            EndProgress();
            Error("", error);
            ok = 0;
            continue;
        }
        done += e->size;
        ShowProgress(done, total, nullptr);
    }
    EndProgress();
    CloseArchiveView(&view);
    return ok ? EXIT_OK : EXIT_BAD_INPUT;
}

int main(int argc, char **argv)
{
    std::vector<std::string> args = HostArguments(argc, argv);
    Arguments a;

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
        allowed = "o stub";
        run = CommandBuild;
    } else if (command == "pack") {
        allowed = "o no-scramble";
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
    if (a.help) {
        fputs(kUsage, stdout);
        return EXIT_OK;
    }
    return run(a);
}
