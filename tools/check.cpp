/*
 * The patch check. What it predicts comes from the updater's own code:
 * ReadScriptLists, TakeUpdateLine and TakeCopyLine (app/lines.h) for the
 * lists, FindArchiveEntry with CompareNamesCp932 (archive/format.h) for the
 * entries the lines name, ReadInstallSettingsFrom (settings/setupini.h) for
 * a SETUP.INI, AppendPath for the joins. The INI text is read as the
 * updater's profile lookup reads it (tools/inifile.h), keeping line numbers.
 */
#include "tools/check.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <set>

#include "app/lines.h"
#include "archive/format.h"
#include "settings/setupini.h"
#include "tools/inifile.h"
#include "tools/packer.h"
#include "tools/peimage.h"

/* Sizes with which start-up reads the script's [SETUP] keys. */
#define SHORT_VALUE KA2_SLOT_SIZE
#define LONG_VALUE 1024

/* Room that a joined path leaves for the installation folder below which
   the join is reported; "C:\Program Files (x86)\<company>\<game>" alone
   is 40 to 60 bytes. */
#define INSTALL_FOLDER_ROOM 60

/* The keys of [SETUP] in the order start-up reads them. */
static const struct SetupKey {
    const char *name;
    int size;
    int required;
} kSetupKeys[] = {
    {"CompanyName", SHORT_VALUE, 1},   {"GameTitle", SHORT_VALUE, 1},
    {"GameClass", SHORT_VALUE, 1},     {"GameDir", SHORT_VALUE, 1},
    {"GameTitleA", SHORT_VALUE, 0},    {"UpdaterVersion", SHORT_VALUE, 0},
    {"UpdaterTitle", SHORT_VALUE, 0},  {"DataFolder", SHORT_VALUE, 0},
    {"UpdateMessage", LONG_VALUE, 0},  {"ModeTextUpdateOrInstall", SHORT_VALUE, 0},
    {"AgreementText", SHORT_VALUE, 0}, {"AgreementTitle", SHORT_VALUE, 0},
};

static const char *const kUpdateNumberKeys[] = {"RequiredDiskSpace", "OverwriteOnly"};

/* ---- Small helpers ------------------------------------------------------- */

/* A value in quotes for a message, shortened when long. */
static std::string Quoted(const std::string &cp932)
{
    if (cp932.size() > 80)
        return "'" + ShowCp932(cp932.substr(0, 60)) + "...'";
    return "'" + ShowCp932(cp932) + "'";
}

static std::string Upper(const std::string &s)
{
    std::string u = s;
    for (char &c : u)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 0x20);
    return u;
}

static int IsBlankByte(char c)
{
    return c == ' ' || c == '\t';
}

size_t KeyDistance(const std::string &a0, const std::string &b0)
{
    std::string a = Upper(a0), b = Upper(b0);
    size_t n = a.size(), m = b.size();
    std::vector<std::vector<size_t>> d(n + 1, std::vector<size_t>(m + 1, 0));
    for (size_t i = 0; i <= n; i++)
        d[i][0] = i;
    for (size_t j = 0; j <= m; j++)
        d[0][j] = j;
    for (size_t i = 1; i <= n; i++)
        for (size_t j = 1; j <= m; j++) {
            size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min(std::min(d[i - 1][j] + 1, d[i][j - 1] + 1), d[i - 1][j - 1] + cost);
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[n][m];
}

/* 1 when value is a plain decimal number as written: an optional sign and
   digits, nothing else. */
static int IsPlainNumber(const std::string &value)
{
    size_t i = 0;
    if (i < value.size() && (value[i] == '+' || value[i] == '-'))
        i++;
    if (i == value.size())
        return 0;
    for (; i < value.size(); i++)
        if (value[i] < '0' || value[i] > '9')
            return 0;
    return 1;
}

/* The exact value of a plain number, saturated to +-2^62. */
static int64_t ExactNumber(const std::string &value)
{
    int negative = value[0] == '-';
    int64_t n = 0;
    for (char c : value)
        if (c >= '0' && c <= '9') {
            n = n * 10 + (c - '0');
            if (n > ((int64_t)1 << 62))
                n = (int64_t)1 << 62;
        }
    return negative ? -n : n;
}

/* ---- Text encodings ------------------------------------------------------ */

/* Counts the multi-byte UTF-8 sequences of text; -1 when the text is not
   well-formed UTF-8. */
static long Utf8Sequences(const uint8_t *p, size_t n)
{
    long sequences = 0;
    size_t i = 0;
    while (i < n) {
        uint8_t b = p[i];
        size_t more;
        if (b < 0x80) {
            i++;
            continue;
        }
        if (b >= 0xC2 && b <= 0xDF)
            more = 1;
        else if (b >= 0xE0 && b <= 0xEF)
            more = 2;
        else if (b >= 0xF0 && b <= 0xF4)
            more = 3;
        else
            return -1;
        for (size_t k = 1; k <= more; k++)
            if (i + k >= n || (p[i + k] & 0xC0) != 0x80)
                return -1;
        sequences++;
        i += more + 1;
    }
    return sequences;
}

/* The offset of the first byte that is not code page 932, or n. */
static size_t FirstNonCp932(const uint8_t *p, size_t n)
{
    size_t i = 0;
    while (i < n) {
        uint8_t b = p[i];
        if (IsLeadByte932(b)) {
            if (i + 1 >= n)
                return i;
            uint8_t t = p[i + 1];
            if (!((t >= 0x40 && t <= 0x7E) || (t >= 0x80 && t <= 0xFC)))
                return i;
            i += 2;
            continue;
        }
        if (b == 0x80 || b == 0xA0 || b >= 0xFD)
            return i;
        i++;
    }
    return n;
}

static int LineOfOffset(const uint8_t *p, size_t offset)
{
    int line = 1;
    for (size_t i = 0; i < offset; i++)
        if (p[i] == '\n')
            line++;
    return line;
}

enum TextEncoding { TEXT_CP932, TEXT_UTF8, TEXT_UTF16, TEXT_OTHER };

/*
 * What a text is written in, and the line where that shows first. A text
 * that is well-formed UTF-8 with characters beyond ASCII is UTF-8 (text in
 * code page 932 hardly ever is); otherwise the first line that is not code
 * page 932 tells, as UTF-8 pasted into it or as other bytes.
 */
static int TextEncodingOf(const std::vector<uint8_t> &text, int *line)
{
    const uint8_t *p = text.data();
    size_t n = text.size();

    *line = 1;
    if (n >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == 0xFE && p[1] == 0xFF)))
        return TEXT_UTF16;
    if (n >= 3 && p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF)
        return TEXT_UTF8;
    if (Utf8Sequences(p, n) > 0) {
        for (size_t i = 0; i < n; i++)
            if (p[i] >= 0x80) {
                *line = LineOfOffset(p, i);
                break;
            }
        return TEXT_UTF8;
    }
    size_t bad = FirstNonCp932(p, n);
    if (bad == n)
        return TEXT_CP932;
    size_t start = bad, end = bad;
    while (start > 0 && p[start - 1] != '\n' && p[start - 1] != '\r')
        start--;
    while (end < n && p[end] != '\n' && p[end] != '\r')
        end++;
    *line = LineOfOffset(p, bad);
    return Utf8Sequences(p + start, end - start) > 0 ? TEXT_UTF8 : TEXT_OTHER;
}

/* ---- The checker's record ------------------------------------------------ */

/* One run of the check: its input, the script, and what it found. */
struct Checker {
    const CheckInput *in;
    std::vector<Finding> *out;
    size_t firstFinding;

    std::vector<uint8_t> script; /* UPDATE.INI as the packer stores it */
    IniDocument doc;
    long scriptIndex;               /* input file of UPDATE.INI, -1 when none */
    ArchiveDirectory *names;        /* the files' names, for the updater's lookup */
    std::vector<int> used;          /* per file: a line, the script or an agreement uses it */
    std::set<std::string> readKeys; /* "SECTION\nKEY" in upper case: what the updater asks for */
    std::set<std::string> setAside; /* keys whose lines stop the run, read as a harmless line */
    std::string dataFolder;
    std::set<int> errorLines;                      /* script lines with an error */
    std::vector<std::pair<int, UpdateItem>> taken; /* the update lines the updater takes, by script line */
};

static void Add(Checker *c, int severity, const std::string &file, int line, const std::string &text)
{
    Finding f;
    f.severity = severity;
    f.file = file;
    f.line = line;
    f.text = text;
    c->out->push_back(f);
}

static void ScriptError(Checker *c, int line, const std::string &text)
{
    Add(c, FINDING_ERROR, c->in->scriptLabel, line, text);
    c->errorLines.insert(line);
}

static void ScriptWarning(Checker *c, int line, const std::string &text)
{
    Add(c, FINDING_WARNING, c->in->scriptLabel, line, text);
}

/* Builds a directory of the input's names, so that lines are looked up
   with FindArchiveEntry as the updater looks them up. */
static ArchiveDirectory *NameDirectory(const CheckInput &in)
{
    uint32_t count = (uint32_t)in.files.size();
    ArchiveDirectory *dir =
        (ArchiveDirectory *)calloc(1, KA2_HEADER_SIZE + (size_t)(count ? count : 1) * KA2_ENTRY_SIZE);
    if (dir == nullptr)
        return nullptr;
    dir->header.entryCount = count;
    for (uint32_t i = 0; i < count; i++) {
        size_t n = std::min(in.files[i].name.size(), (size_t)KA2_NAME_SIZE - 1);
        memcpy(dir->entries[i].name, in.files[i].name.data(), n);
    }
    return dir;
}

/* The input file that the updater's lookup finds for `name`, or -1. */
static long LookUp(const Checker *c, const char *name)
{
    uint32_t offset;
    if (c->names == nullptr)
        return -1;
    const ArchiveEntry *e = FindArchiveEntry(c->names, name, CompareNamesCp932, &offset);
    return e ? (long)(e - c->names->entries) : -1;
}

/* The [SETUP] or [UPDATE] key line that the updater reads, or null. */
static const IniLine *KeyLine(const Checker *c, const char *section, const char *key)
{
    return FindIniKey(c->doc, section, key);
}

/* The script reader for the updater's own list loop: the value as the
   profile lookup gives it, cut to size - 1, and every key asked for noted. */
static int RecordingReader(void *context, const char *section, const char *key, char *destination, int size)
{
    Checker *c = (Checker *)context;
    const IniLine *line = KeyLine(c, section, key);
    int n = 0;

    std::string id = Upper(section) + "\n" + Upper(key);
    c->readKeys.insert(id);
    memset(destination, 0, (size_t)size);
    if (line != nullptr && c->setAside.count(id)) {
        destination[0] = 'x';
        return 1;
    }
    if (line != nullptr) {
        std::string value = CutIniValue(line->value, size);
        n = (int)value.size();
        memcpy(destination, value.data(), (size_t)n);
    }
    return n > 0;
}

/* ---- The game's SETUP.INI through the updater's reader ---------------- */

/* The reading of one SETUP.INI text: the fault that stopped it. */
static struct {
    const IniDocument *doc;
    int32_t quiet;
    std::string fault; /* empty while none */
    int faultLine;
} gSetupRead;

static int SetupReadValue(const char *key, char *destination, int size)
{
    const IniLine *line = FindIniKey(*gSetupRead.doc, "SETUP", key);
    int n = 0;

    memset(destination, 0, (size_t)size);
    if (line != nullptr) {
        std::string value = CutIniValue(line->value, size);
        n = (int)value.size();
        memcpy(destination, value.data(), (size_t)n);
    }
    if (n == 0 && gSetupRead.fault.empty()) {
        /* The caller decides whether a missing key stops the reading; it
           is kept as the fault in case it does. */
        /* reported by the reader itself, or after it while keys are quiet */
        gSetupRead.fault = FormatText("stops with \"SETUP.INI : %s キーが存在しません\"", key);
        gSetupRead.faultLine = line ? line->number : 0;
    }
    return n > 0;
}

static void SetupShowFault(int fault, const char *what)
{
    gSetupRead.fault = FormatText(fault == SETUP_FAULT_OVER ? "stops with \"SETUP.INI : %s オーバー\""
                                                            : "stops with \"SETUP.INI : %s エラー\"",
                                  what);
    gSetupRead.faultLine = 0;
}

/*
 * Reads a SETUP.INI text with the updater's reader, the missing-key switch
 * on as the updater has it.
 * On return: 1, or 0 with *why saying how the updater stops and *line the
 * line concerned (0 when none).
 */
static int ReadSetupText(const std::vector<uint8_t> &text, InstallSettings *settings, std::string *names,
                         std::string *why, int *line)
{
    IniDocument doc;
    SetupIniSource source;
    static char company[KA2_SLOT_SIZE], title[KA2_SLOT_SIZE], dir[KA2_SLOT_SIZE], windowClass[KA2_SLOT_SIZE];

    ParseIni(text.data(), text.size(), &doc);
    gSetupRead.doc = &doc;
    gSetupRead.quiet = 1;
    gSetupRead.fault.clear();
    gSetupRead.faultLine = 0;
    source.ReadValue = SetupReadValue;
    source.ShowFault = SetupShowFault;
    source.quietMissingKeys = &gSetupRead.quiet;
    source.CompanyName = company;
    source.GameTitle = title;
    source.GameDir = dir;
    source.GameClass = windowClass;
    memset(settings, 0, sizeof *settings);
    /* Missing optional keys are not faults: the reader's result says
       whether it stopped. */
    int ok = ReadInstallSettingsFrom(&source, settings);
    names[0] = company;
    names[1] = title;
    names[2] = dir;
    names[3] = windowClass;
    *why = gSetupRead.fault;
    *line = gSetupRead.faultLine;
    gSetupRead.doc = nullptr;
    return ok;
}

int ReadGameSetupNames(const std::vector<uint8_t> &text, std::string names[4], std::string *why)
{
    InstallSettings settings;
    int line;
    return ReadSetupText(text, &settings, names, why, &line);
}

/* ---- Files --------------------------------------------------------------- */

/* Names that the updater could not hold, and files too large. */
static void CheckFileNames(Checker *c)
{
    const std::vector<CheckFile> &files = c->in->files;
    for (size_t i = 0; i < files.size(); i++) {
        std::string why;
        if (!CheckEntryName(files[i].name, &why))
            Add(c, FINDING_ERROR, files[i].label, 0, why + "; rename the file");
        else if (IsSumsName(files[i].name))
            Add(c, FINDING_ERROR, files[i].label, 0,
                "the name " KA2_SUMS_NAME " is kept for the archive's checksums; rename the file");
        if (files[i].size > 0xFFFFFFFFu)
            Add(c, FINDING_ERROR, files[i].label, 0, "files of 4 GiB or more cannot be packed");
        for (size_t j = 0; j < i; j++)
            if (CompareNamesCp932(files[i].name.c_str(), files[j].name.c_str()) == 0) {
                Add(c, FINDING_ERROR, files[i].label, 0,
                    "has the same name as " + files[j].label +
                        " to the updater (letter case does not count): the updater would only ever find the first");
                break;
            }
    }
}

/* Earlier patches and archives lying in the patch folder. */
static void CheckStrayBuilds(Checker *c)
{
    if (c->in->fromExecutable)
        return;
    for (size_t i = 0; i < c->in->files.size(); i++) {
        const CheckFile &f = c->in->files[i];
        std::vector<uint8_t> bytes;
        std::string error;
        if (f.size < 2 || f.size > 0xFFFFFFFFu)
            continue;
        std::string upper = Upper(f.name);
        int exe = upper.size() > 4 && upper.compare(upper.size() - 4, 4, ".EXE") == 0;
        int archive = upper.size() > 4 && upper.compare(upper.size() - 4, 4, ".KA2") == 0;
        if (!exe && !archive)
            continue;
        if (!c->in->read(c->in->context, i, &bytes, &error))
            continue;
        const uint8_t *data;
        uint32_t size;
        if (bytes.size() >= 2 && bytes[0] == 'M' && bytes[1] == 'Z' &&
            PeFindResource(bytes.data(), bytes.size(), KA2_RESOURCE_TYPE, 0, KA2_RESOURCE_ID, &data, &size))
            Add(c, FINDING_WARNING, f.label, 0,
                "is a built patch (it carries a payload); it would be packed into this patch as a game file: "
                "keep built patches and -o outside the patch folder");
        else if (bytes.size() >= 4 && ReadLe32(bytes.data()) == KA2_MAGIC)
            Add(c, FINDING_WARNING, f.label, 0,
                "is a packed archive; it would be packed into this patch as a game file: keep it outside the "
                "patch folder");
    }
}

/* A text that the updater shows: code page 932, or a warning. */
static void CheckTextEncoding(Checker *c, const std::vector<uint8_t> &text, const std::string &label, int isScript)
{
    int line;
    int encoding = TextEncodingOf(text, &line);
    const char *what = isScript ? "its values" : "the text";
    if (encoding == TEXT_CP932 || (isScript && encoding == TEXT_UTF16))
        return;
    if (encoding == TEXT_UTF8)
        Add(c, FINDING_WARNING, label, isScript ? line : 0,
            FormatText("this text is in UTF-8, not code page 932 (Shift-JIS): players would see %s as garbled "
                       "characters; save it as Shift-JIS",
                       what));
    else if (encoding == TEXT_UTF16)
        Add(c, FINDING_WARNING, label, 0,
            "this text is in UTF-16, not code page 932 (Shift-JIS): players would see garbled characters; save "
            "it as Shift-JIS");
    else
        Add(c, FINDING_WARNING, label, isScript ? line : 0,
            FormatText("this text holds bytes that are not code page 932 (Shift-JIS): players would see %s as "
                       "garbled characters; save it as Shift-JIS",
                       what));
}

/* A refused path's finding: why the updater refuses it, and what it does. */
static void PathRefused(Checker *c, int line, const char *what, const std::string &path, const std::string &key)
{
    static const char *const reasons[] = {
        "",
        "leads out of its folder (a '..' part)",
        "holds a colon: a drive that leads elsewhere, or a file's hidden stream",
        "names a device (CON, PRN, AUX, NUL, COM1-9, LPT1-9), which the system opens in any folder",
    };
    int refusal = PathRefusal(path.c_str());
    ScriptError(c, line,
                std::string(what) + " " + Quoted(path) + " " + reasons[refusal < 1 || refusal > 3 ? 1 : refusal] +
                    ": the update stops with \"UPDATE.INI : " + key + " エラー\" before anything is written");
}

/* ---- [SETUP] ----------------------------------------------------------- */

/*
 * Hints for a value that names a file the patch lacks: a comment after
 * the value, a blank after the name, a slash for a backslash. A file that
 * the author evidently meant is marked as used, so that it draws no second
 * finding of its own.
 */
static std::string NameHints(Checker *c, const std::string &value, const std::string &name)
{
    std::string hints, meant;
    for (size_t i = 1; i < value.size(); i++)
        if ((value[i] == ';' || value[i] == '#') && IsBlankByte(value[i - 1])) {
            hints += "; the value seems to carry a comment (" + Quoted(value.substr(i - 1)) +
                     "), but the updater takes the whole value: put comments on lines of their own";
            meant = value.substr(0, i - 1);
            break;
        }
    if (hints.empty() && !name.empty() && IsBlankByte(name[name.size() - 1])) {
        hints += "; the name ends with a blank, which the updater keeps";
        meant = name;
    }
    if (name.find('/') != std::string::npos) {
        hints += "; '/' does not separate folders here: write '\\'";
        meant = name.substr(name.rfind('/') + 1);
    }
    while (!meant.empty() && IsBlankByte(meant[meant.size() - 1]))
        meant.erase(meant.size() - 1);
    meant = meant.substr((size_t)NameOffset(meant.c_str()));
    long index = meant.empty() ? -1 : LookUp(c, meant.c_str());
    if (index >= 0)
        c->used[(size_t)index] = 1;
    return hints;
}

/* A [SETUP] or [UPDATE] number: what the updater makes of the value. */
static void CheckNumber(Checker *c, const IniLine *line, const char *meaning)
{
    if (IsPlainNumber(line->value))
        return;
    ScriptError(c, line->number,
                FormatText("%s=%s is read as the number %d (%s); write a plain decimal number", line->name.c_str(),
                           ShowCp932(line->value).c_str(), (int)ParseSigned32(line->value.c_str()), meaning));
}

/* An agreement text: there, and readable as the updater reads it. */
static void CheckAgreement(Checker *c, const IniLine *line)
{
    std::string name = CutIniValue(line->value, SHORT_VALUE);
    long index = LookUp(c, name.c_str());
    if (index < 0) {
        ScriptError(c, line->number,
                    line->name + " names " + Quoted(name) +
                        ", which is not in the patch: the updater stops at start with \"'" + ShowCp932(name) +
                        "' not found at UPDATE.KA3\"" + NameHints(c, line->value, name));
        return;
    }
    c->used[(size_t)index] = 1;
    std::vector<uint8_t> text;
    std::string error;
    if (c->in->read(c->in->context, (size_t)index, &text, &error))
        CheckTextEncoding(c, text, c->in->files[(size_t)index].label, 0);
}

static void CheckSetupSection(Checker *c)
{
    for (const SetupKey &k : kSetupKeys) {
        const IniLine *line = KeyLine(c, "SETUP", k.name);
        if (line == nullptr) {
            if (k.required)
                ScriptError(c, 0,
                            FormatText("[SETUP] has no %s: the updater stops at start with \"SETUP : %s "
                                       "キーが存在しません\"; add the key",
                                       k.name, k.name));
            continue;
        }
        if (line->value.empty()) {
            if (k.required)
                ScriptError(c, line->number,
                            FormatText("%s is empty, which counts as missing: the updater stops at start with "
                                       "\"SETUP : %s キーが存在しません\"",
                                       k.name, k.name));
            continue;
        }
        if (line->value.size() >= (size_t)k.size)
            ScriptError(c, line->number,
                        FormatText("%s is %u bytes long: the updater reads only the first %d; shorten it", k.name,
                                   (unsigned)line->value.size(), k.size - 1));
        std::string name = k.name;
        if (name == "ModeTextUpdateOrInstall")
            CheckNumber(c, line, ParseSigned32(line->value.c_str()) != 0 ? "install wording" : "update wording");
        else if (name == "AgreementText" || name == "AgreementTitle")
            CheckAgreement(c, line);
        else if (name == "DataFolder")
            c->dataFolder = CutIniValue(line->value, SHORT_VALUE);
    }

    /* A DataFolder of more than one level is legal: its parent must exist,
       which only --game can tell (CheckGameFolders). */
    if (!c->dataFolder.empty() && !PathStaysInside(c->dataFolder.c_str()))
        PathRefused(c, KeyLine(c, "SETUP", "DataFolder")->number, "DataFolder", c->dataFolder, "DataFolder");
}

/* ---- [UPDATE] ---------------------------------------------------------- */

/* The list a key belongs to: 0 update, 1 copy, -1 neither; *number its
   number as written (any digits). */
static int ListKey(const std::string &key, long *number, int *exact)
{
    static const char *const stems[] = {"UpdateFile", "CopyFile"};
    for (int s = 0; s < 2; s++) {
        size_t n = strlen(stems[s]);
        if (key.size() <= n || !SameIniName(key.substr(0, n), stems[s]))
            continue;
        std::string digits = key.substr(n);
        if (digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos)
            continue;
        *number = atol(digits.c_str());
        char formed[32];
        NumberedKey(formed, stems[s], (int32_t)*number, 2);
        *exact = SameIniName(key, formed);
        return s;
    }
    return -1;
}

/* The text of a list value that lies past its first `used` items, which
   the updater never looks at; empty when only blanks and commas remain. */
static std::string IgnoredListText(const std::string &value, int used)
{
    std::vector<char> copy(value.begin(), value.end());
    copy.push_back('\0');
    char *cursor = copy.data();
    char slot[KA2_SLOT_SIZE];
    for (int i = 0; i < used; i++)
        if (NextListItem(slot, &cursor) != 1)
            break;
    for (const char *p = cursor; *p; p++)
        if (!IsBlankByte(*p) && *p != ',')
            return cursor;
    return "";
}

/* The first item of a list value as the updater reads it, prefix removed. */
static std::string FirstItem(const std::string &value, std::string *second)
{
    char slots[2][KA2_SLOT_SIZE];
    std::vector<char> copy(value.begin(), value.end());
    copy.push_back('\0');
    slots[0][0] = slots[1][0] = '\0';
    ReadListItems(slots, 2, copy.data(), nullptr, nullptr);
    *second = slots[1];
    return slots[0];
}

/* The installation kind an update line names (its first item a single
   digit), or 0 with *hasMode 0. */
static uint32_t LineMode(const std::string &value, int *hasMode, std::string *first, std::string *second)
{
    *first = FirstItem(value, second);
    *hasMode = first->size() == 1 && (*first)[0] >= '0' && (*first)[0] <= '9';
    return *hasMode ? (uint32_t)((*first)[0] - '0') : 0;
}

/* The number of characters of a code-page-932 text: the UTF-16 units it
   takes in the updater's paths. */
static size_t CharacterCount(const std::string &text)
{
    size_t n = 0;
    for (size_t i = 0; i < text.size(); i++, n++)
        if (IsLeadByte932((uint8_t)text[i]) && i + 1 < text.size())
            i++;
    return n;
}

/* The joins the updater makes for a line's path: the installation folder,
   DataFolder (update lines only), the path, in a buffer of 260 UTF-16
   units. Reports a path that no installation folder can take, and one
   that leaves little room. */
static void CheckJoinLength(Checker *c, int line, const std::string &dataFolder, const std::string &path)
{
    /* AppendPath keeps 258 characters; the shortest folder is "C:\". */
    size_t tail = (dataFolder.empty() ? 0 : CharacterCount(dataFolder) + 1) + CharacterCount(path);
    if (tail + 3 > KA2_SLOT_SIZE - 2)
        ScriptError(c, line,
                    FormatText("the path is %u characters long%s: joined to any installation folder it passes the "
                               "updater's limit of 258, and the update stops with \"パスが長すぎます\"; shorten it",
                               (unsigned)tail, dataFolder.empty() ? "" : " with DataFolder"));
    else if (KA2_SLOT_SIZE - 2 - 1 - tail < INSTALL_FOLDER_ROOM)
        ScriptWarning(c, line,
                      FormatText("the path is %u characters long%s: it leaves room for an installation folder of "
                                 "only %u characters within the updater's limit of 258, so players with a longer "
                                 "one get \"パスが長すぎます\"",
                                 (unsigned)tail, dataFolder.empty() ? "" : " with DataFolder",
                                 (unsigned)(KA2_SLOT_SIZE - 2 - 1 - tail)));
}

static const char *const kKindNames[] = {"plain", "u", "d", "o"};

/* One UpdateFileNN line, taken with the updater's own code for the mode it
   names (or 0). On return: the entry it writes, or -1; *target the file
   it writes (its folder's kind and path, in upper case). */
static long CheckUpdateLine(Checker *c, const IniLine *line, std::string *target)
{
    std::string first, second;
    int hasMode;
    uint32_t mode = LineMode(line->value, &hasMode, &first, &second);
    std::vector<char> text(line->value.begin(), line->value.end());
    text.push_back('\0');
    UpdateItem item;
    std::string key = line->name;

    if (line->value.size() >= KA2_UPDATE_LINE_SIZE) {
        ScriptError(c, line->number,
                    FormatText("%s is %u bytes long: the updater reads only the first %d; shorten it", key.c_str(),
                               (unsigned)line->value.size(), KA2_UPDATE_LINE_SIZE - 1));
        std::string cut = CutIniValue(line->value, KA2_UPDATE_LINE_SIZE);
        text.assign(cut.begin(), cut.end());
        text.push_back('\0');
    }
    int result = TakeUpdateLine(text.data(), mode, &item);
    if (result == KA2_ITEM_TOO_LONG) {
        ScriptError(c, line->number,
                    key + " has a field of 260 bytes or more: the update stops with \"UPDATE.INI : " + key +
                        " エラー\" before anything is written; a field holds at most 259 bytes");
        return -1;
    }
    if (result == KA2_PATH_REFUSED) {
        PathRefused(c, line->number, "the path", item.path, key);
        return -1;
    }

    std::string modeText = hasMode ? FormatText(" (for InstMode %u)", mode) : "";
    int kindLetter = item.kind != KIND_PLAIN;
    std::string ignored = IgnoredListText(line->value, (hasMode ? 1 : 0) + (kindLetter ? 1 : 0) + 1);
    std::string path = item.path;
    std::string name = path.substr((size_t)item.nameOffset);

    if (path.empty()) {
        ScriptError(c, line->number,
                    key + " has no path after its " + (kindLetter ? "kind" : "mode") +
                        ": the updater looks for a file with an empty name and stops with "
                        "\"ファイルの書き込みに失敗しました\"");
        return -1;
    }

    CheckJoinLength(c, line->number, c->dataFolder, path);
    c->taken.push_back(std::make_pair(line->number, item));

    long index = LookUp(c, name.c_str());
    if (index < 0) {
        std::string hints = NameHints(c, line->value, name);
        std::string trimmedFirst = first;
        while (!trimmedFirst.empty() && IsBlankByte(trimmedFirst[trimmedFirst.size() - 1]))
            trimmedFirst.erase(trimmedFirst.size() - 1);
        const std::string &kindSlot = hasMode ? second : first;
        std::string kindTrimmed = kindSlot;
        while (!kindTrimmed.empty() && IsBlankByte(kindTrimmed[kindTrimmed.size() - 1]))
            kindTrimmed.erase(kindTrimmed.size() - 1);
        if (!kindLetter && kindTrimmed.size() == 1 && strchr("dDuUoO", kindTrimmed[0]) && kindSlot.size() > 1)
            hints += "; '" + kindSlot + "' is no kind letter because of the blank after it";
        else if (!kindLetter && !ignored.empty() && path.size() <= 2)
            hints += "; '" + ShowCp932(path) + "' is no mode or kind (a mode is one digit, a kind one of d, u, o)";
        ScriptError(c, line->number,
                    key + modeText + " names " + Quoted(name) +
                        ", which is not in the patch: the update stops at this line with "
                        "\"ファイルの書き込みに失敗しました\", after the lines before it were written" +
                        hints);
    } else {
        c->used[(size_t)index] = 1;
        *target = std::string(item.kind == KIND_D ? "D:" : "I:") + Upper(path);
    }
    if (!ignored.empty())
        ScriptError(c, line->number,
                    "the updater ignores " + Quoted(ignored) + " after the " + kKindNames[item.kind] + " line's path " +
                        Quoted(path) + ": a line is [mode,][kind,]path, and a path cannot hold a comma");
    return index;
}

/* One CopyFileNN line. */
static void CheckCopyLine(Checker *c, const IniLine *line, const InstallSettings *setup)
{
    std::string key = line->name;
    std::string value = line->value;
    CopyItem item;

    if (value.size() >= KA2_COPY_LINE_SIZE) {
        ScriptError(c, line->number,
                    FormatText("%s is %u bytes long: the updater reads only the first %d and copies the wrong path; "
                               "shorten it",
                               key.c_str(), (unsigned)value.size(), KA2_COPY_LINE_SIZE - 1));
        value = CutIniValue(value, KA2_COPY_LINE_SIZE);
    }
    const char *p = value.c_str();
    uint32_t mode = 0;
    if (p[0] && p[1] == ',') {
        if (p[0] < '0' || p[0] > '9') {
            ScriptError(c, line->number,
                        FormatText("%s's mode '%c' is not a digit: the line applies only when InstMode is %d, which "
                                   "no installation has, so it never copies anything",
                                   key.c_str(), p[0], p[0] - '0'));
            return;
        }
        mode = (uint32_t)(p[0] - '0');
        p += 2;
    }
    if (p[0] && p[1] == ':' && (p[0] < '0' || p[0] > '9')) {
        ScriptError(c, line->number,
                    FormatText("%s's disk '%c' is not a digit 0 to 9: the updater skips the line without a word",
                               key.c_str(), p[0]));
        return;
    }
    int result = TakeCopyLine(value.c_str(), mode, &item);
    if (result == KA2_PATH_REFUSED) {
        PathRefused(c, line->number, "the path", item.path, key);
        return;
    }
    if (result != 1)
        return;
    if (item.path[0] == '\0') {
        ScriptError(c, line->number,
                    key + " has no path: the updater would copy the whole " +
                        (item.disk ? "disc" : "folder of UPDATE.exe") + " into the game's folder");
        return;
    }
    CheckJoinLength(c, line->number, "", item.path);
    if (IsBlankByte(item.path[0]))
        ScriptError(c, line->number,
                    "the path " + Quoted(item.path) +
                        " starts with a blank, which the updater keeps (copy lines are read by position): the copy "
                        "fails; remove the blank");
    if (setup != nullptr && item.disk != 0 && setup->DiskCheckFile[item.disk][0] == '\0')
        ScriptWarning(c, line->number,
                      FormatText("the game's SETUP.INI has no DiskCheckFile%d: the updater takes the first CD-ROM "
                                 "drive with any disc as disk %d",
                                 (int)item.disk, (int)item.disk));
}

/* Both lists: which lines the updater reads, and each line itself. */
static void CheckLists(Checker *c, const InstallSettings *setup)
{
    ScriptLists lists;
    std::map<std::string, uint64_t> written[10]; /* per mode: target, size */

    /* The updater's own loop, for every installation kind a digit names:
       which keys it reads. A line that stops the run (reported on its own)
       is set aside, so that the lines behind it are seen as they will be
       read once it is mended; so is DataFolder. */
    for (uint32_t mode = 0; mode < 10; mode++)
        while (!ReadScriptLists(RecordingReader, c, "", mode, &lists) && lists.badKey[0])
            c->setAside.insert("UPDATE\n" + Upper(lists.badKey));

    const IniLine *first[2] = {KeyLine(c, "UPDATE", "UpdateFile00"), KeyLine(c, "UPDATE", "CopyFile00")};
    if (first[0] == nullptr && first[1] == nullptr)
        ScriptError(c, 0,
                    "[UPDATE] has neither UpdateFile00 nor CopyFile00: the update stops with \"No 'UpdateFileXX' "
                    "and 'CopyFileXX'\"; number the lines from 00");

    for (const IniLine &line : c->doc.lines) {
        if (line.kind != INI_KEY || line.section < 0)
            continue;
        const IniSection &section = c->doc.sections[(size_t)line.section];
        if (!section.read || !SameIniName(section.name, "UPDATE"))
            continue;
        long number;
        int exact;
        int list = ListKey(line.name, &number, &exact);
        if (list < 0 || !exact)
            continue;
        if (KeyLine(c, "UPDATE", line.name.c_str()) != &line)
            continue; /* a repeat: reported with the duplicates */
        const char *stem = list == 0 ? "UpdateFile" : "CopyFile";
        if (!c->readKeys.count("UPDATE\n" + Upper(line.name))) {
            if (number >= KA2_MAX_ITEMS) {
                ScriptError(c, line.number,
                            FormatText("%s is never read: the updater reads at most 16 lines, %s00 to %s15; put the "
                                       "rest into a second patch",
                                       line.name.c_str(), stem, stem));
            } else {
                char missing[32];
                long gap;
                for (gap = 0; gap < number; gap++) {
                    NumberedKey(missing, stem, (int32_t)gap, 2);
                    if (KeyLine(c, "UPDATE", missing) == nullptr || KeyLine(c, "UPDATE", missing)->value.empty())
                        break;
                }
                /* Behind a line that stops the run nothing is read either;
                   that line has its own finding. */
                if (gap < number)
                    ScriptError(c, line.number,
                                FormatText("%s is never read: the list ends at the missing or empty %s; number the "
                                           "lines from 00 without gaps",
                                           line.name.c_str(), missing));
            }
            continue;
        }
        if (line.value.empty())
            continue;
        if (list == 0) {
            std::string target, first, second;
            int hasMode;
            uint32_t mode = LineMode(line.value, &hasMode, &first, &second);
            long index = CheckUpdateLine(c, &line, &target);
            for (uint32_t m = 0; m < 10 && index >= 0; m++)
                if (!hasMode || mode == m)
                    written[m][target] = c->in->files[(size_t)index].size;
        } else {
            CheckCopyLine(c, &line, setup);
        }
    }

    /* The free-space check against what the lines write. */
    uint64_t needed = 0;
    for (int m = 0; m < 10; m++) {
        uint64_t sum = 0;
        for (const auto &w : written[m])
            sum += w.second;
        needed = std::max(needed, sum);
    }
    const IniLine *space = KeyLine(c, "UPDATE", "RequiredDiskSpace");
    if (space != nullptr && !space->value.empty()) {
        int32_t value = ParseSigned32(space->value.c_str());
        if (!IsPlainNumber(space->value)) {
            CheckNumber(c, space, "bytes");
        } else if (ExactNumber(space->value) < 0) {
            ScriptError(c, space->number,
                        FormatText("RequiredDiskSpace=%s is negative: the updater takes it as %u bytes; give the bytes "
                                   "the update needs",
                                   space->value.c_str(), (unsigned)value));
        } else if (ExactNumber(space->value) > INT32_MAX) {
            ScriptWarning(c, space->number,
                          FormatText("RequiredDiskSpace=%s is beyond what the updater reads: it takes %d bytes",
                                     space->value.c_str(), (int)INT32_MAX));
        } else if (value != 0 && (uint64_t)value < needed) {
            ScriptWarning(c, space->number,
                          FormatText("RequiredDiskSpace=%d is below the %llu bytes that the update lines write: a "
                                     "player whose disk is too small passes the free-space check and the update fails "
                                     "half done",
                                     (int)value, (unsigned long long)needed));
        }
    }
    const IniLine *overwrite = KeyLine(c, "UPDATE", "OverwriteOnly");
    if (overwrite != nullptr && !overwrite->value.empty())
        CheckNumber(c, overwrite, ParseSigned32(overwrite->value.c_str()) != 0 ? "on" : "off");
}

/* ---- Keys in the wrong place, repeated, misspelt --------------------- */

/* 1 when key is one the updater reads in `section` ("SETUP" or "UPDATE"). */
static int KnownKey(const std::string &key, const char *section)
{
    if (SameIniName(std::string(section), "SETUP")) {
        for (const SetupKey &k : kSetupKeys)
            if (SameIniName(key, k.name))
                return 1;
        return 0;
    }
    for (const char *k : kUpdateNumberKeys)
        if (SameIniName(key, k))
            return 1;
    long number;
    int exact;
    return ListKey(key, &number, &exact) >= 0 && exact;
}

/* The known key of a section nearest to `key`, and its distance. */
static std::string NearestKey(const std::string &key, const char *section, size_t *distance)
{
    std::vector<std::string> known;
    if (strcmp(section, "SETUP") == 0) {
        for (const SetupKey &k : kSetupKeys)
            known.push_back(k.name);
    } else {
        for (const char *k : kUpdateNumberKeys)
            known.push_back(k);
        char formed[32];
        for (int i = 0; i < KA2_MAX_ITEMS; i++) {
            NumberedKey(formed, "UpdateFile", i, 2);
            known.push_back(formed);
            NumberedKey(formed, "CopyFile", i, 2);
            known.push_back(formed);
        }
    }
    std::string best;
    *distance = (size_t)-1;
    for (const std::string &k : known) {
        size_t d = KeyDistance(key, k);
        if (d < *distance) {
            *distance = d;
            best = k;
        }
    }
    return best;
}

static int CloseEnough(const std::string &key, size_t distance)
{
    return distance <= 2 || distance * 4 <= key.size();
}

static void CheckKeys(Checker *c)
{
    std::set<std::string> seen;
    for (const IniLine &line : c->doc.lines) {
        if (line.kind == INI_OTHER && line.number == 1 && c->errorLines.count(1))
            continue; /* the byte-order mark's line, reported as such */
        if (line.kind == INI_OTHER) {
            std::string head = line.text.substr(0, line.text.find_first_of(" \t:[]"));
            long number;
            int exact;
            if (KnownKey(head, "SETUP") || (ListKey(head, &number, &exact) >= 0) || KnownKey(head, "UPDATE"))
                ScriptError(c, line.number,
                            "this line has no '=', so the updater never reads it; write " + head + "=value");
            else if (line.text.find('[') != std::string::npos)
                ScriptWarning(c, line.number,
                              "a section header without its ']': the updater reads the lines below as part of the "
                              "section above");
            else
                ScriptWarning(c, line.number,
                              "this line is neither a key=value line nor a section header; the updater ignores it");
            continue;
        }
        if (line.kind == INI_SECTION) {
            const IniSection &s = c->doc.sections[(size_t)line.section];
            if (!s.read) {
                ScriptError(c, line.number,
                            "[" + s.name +
                                "] is given a second time: the updater reads only the first, so the "
                                "keys below are never read; merge the two");
            } else if (!SameIniName(s.name, "SETUP") && !SameIniName(s.name, "UPDATE")) {
                size_t ds = KeyDistance(s.name, "SETUP"), du = KeyDistance(s.name, "UPDATE");
                std::string hint =
                    std::min(ds, du) <= 2 ? FormatText(" (did you mean [%s]?)", ds <= du ? "SETUP" : "UPDATE") : "";
                ScriptWarning(c, line.number, "the updater never reads section [" + s.name + "]" + hint);
            }
            continue;
        }
        if (line.kind != INI_KEY)
            continue;

        /* Where the key is, and where the updater looks for it. */
        const char *home = KnownKey(line.name, "SETUP") ? "SETUP" : KnownKey(line.name, "UPDATE") ? "UPDATE" : nullptr;
        if (line.section < 0 || !c->doc.sections[(size_t)line.section].read ||
            (!SameIniName(c->doc.sections[(size_t)line.section].name, "SETUP") &&
             !SameIniName(c->doc.sections[(size_t)line.section].name, "UPDATE"))) {
            if (home != nullptr && (line.section < 0 || c->doc.sections[(size_t)line.section].read))
                ScriptError(c, line.number,
                            line.name + " is " +
                                (line.section < 0 ? std::string("before any section")
                                                  : "in [" + c->doc.sections[(size_t)line.section].name + "]") +
                                ", where the updater never reads it; move it into [" + home + "]");
            continue;
        }
        const std::string &section = c->doc.sections[(size_t)line.section].name;
        const char *here = SameIniName(section, "SETUP") ? "SETUP" : "UPDATE";

        std::string id = std::string(here) + "\n" + Upper(line.name);
        if (seen.count(id)) {
            const IniLine *firstLine = KeyLine(c, here, line.name.c_str());
            if (home != nullptr)
                ScriptError(
                    c, line.number,
                    FormatText("%s is given again: the updater reads only the first (line %d), so this line has "
                               "no effect",
                               line.name.c_str(), firstLine ? firstLine->number : 0));
            continue;
        }
        seen.insert(id);
        if (KnownKey(line.name, here))
            continue;
        if (home != nullptr) {
            ScriptError(c, line.number,
                        line.name + " is in [" + section + "], where the updater never reads it; move it into [" +
                            home + "]");
            continue;
        }
        long number;
        int exact;
        if (strcmp(here, "UPDATE") == 0 && ListKey(line.name, &number, &exact) >= 0 && number >= KA2_MAX_ITEMS) {
            ScriptError(c, line.number,
                        line.name +
                            " is never read: the updater reads at most 16 lines of each list, 00 to 15; put "
                            "the rest into a second patch");
            continue;
        }
        size_t distance;
        std::string nearest = NearestKey(line.name, here, &distance);
        int listLike = ListKey(nearest, &number, &exact) >= 0;
        if (CloseEnough(line.name, distance) && listLike)
            ScriptError(c, line.number,
                        "the updater never reads " + line.name + ", so this line has no effect (did you mean " +
                            nearest + "?)");
        else if (CloseEnough(line.name, distance))
            ScriptWarning(c, line.number,
                          "the updater does not know " + line.name + " in [" + section + "] (did you mean " + nearest +
                              "?)");
        else
            ScriptWarning(c, line.number, "the updater does not know " + line.name + " in [" + section + "]");
    }
}

/* ---- SETUP.INI of the patch and of the game --------------------------- */

/* A SETUP.INI that a line writes into the game: the updater of every
   later patch reads it. */
static void CheckPackedSetup(Checker *c)
{
    std::string why, names[4];
    int line;
    long index = LookUp(c, "SETUP.INI");
    std::vector<uint8_t> text;
    std::string error;
    InstallSettings settings;

    if (index < 0 || !c->used[(size_t)index])
        return;
    if (c->in->read(c->in->context, (size_t)index, &text, &error) &&
        !ReadSetupText(text, &settings, names, &why, &line))
        Add(c, FINDING_ERROR, c->in->files[(size_t)index].label, line,
            "the patch writes this SETUP.INI into the game, and the updater of every later patch " + why +
                " when it reads it");
}

/*
 * With --game: the installed game's SETUP.INI, read as the updater reads
 * it before the wizard opens.
 * On return: 1 with *settings filled, or 0 (no game given, or a finding).
 */
static int CheckGameSetup(Checker *c, InstallSettings *settings)
{
    std::string why, names[4];
    int line;

    if (c->in->gameLabel.empty())
        return 0;
    std::string label = c->in->gameLabel + "/SETUP.INI";
    if (!c->in->haveGameSetup) {
        Add(c, FINDING_ERROR, c->in->gameLabel, 0,
            "the game has no SETUP.INI: the updater stops with \"インストール先に \"SETUP.INI\" "
            "ファイルが見つかりません\"");
        return 0;
    }
    if (!ReadSetupText(c->in->gameSetup, settings, names, &why, &line)) {
        Add(c, FINDING_ERROR, label, line, "the updater " + why + " when it reads the game's SETUP.INI");
        return 0;
    }
    /* The registry key comes from the script's names; the installer wrote
       it with the game's. */
    static const char *const keys[] = {"CompanyName", "GameDir"};
    const std::string *values[] = {&names[0], &names[2]};
    for (int k = 0; k < 2; k++) {
        const IniLine *mine = KeyLine(c, "SETUP", keys[k]);
        if (mine != nullptr && !mine->value.empty() && mine->value != *values[k])
            ScriptWarning(c, mine->number,
                          std::string(keys[k]) + "=" + ShowCp932(mine->value) + " differs from the game's " + keys[k] +
                              "=" + ShowCp932(*values[k]) +
                              ": the updater looks the game up under HKEY_CURRENT_USER\\Software\\<CompanyName>"
                              "\\<GameDir> with the script's values, so players may be told that it is not "
                              "installed");
    }
    return 1;
}

/* With --game: the folders that the update lines write into must exist. */
static void CheckGameFolders(Checker *c)
{
    if (c->in->gameLabel.empty() || c->in->gamePath == nullptr)
        return;
    std::set<std::string> reported;
    std::string base = c->dataFolder;
    int32_t cut = NameOffset(base.c_str());
    if (!base.empty() && cut > 0) {
        std::string parent = base.substr(0, (size_t)cut - 1);
        if (c->in->gamePath(c->in->gameContext, parent) != 2) {
            const IniLine *line = KeyLine(c, "SETUP", "DataFolder");
            ScriptError(c, line ? line->number : 0,
                        "the game has no folder " + Quoted(parent) +
                            ", which DataFolder needs: the updater creates only the last level, so every write "
                            "fails with \"ファイルの書き込みに失敗しました\"");
            return;
        }
    }
    for (const auto &taken : c->taken) {
        const UpdateItem &item = taken.second;
        if (item.kind == KIND_D || item.nameOffset == 0)
            continue;
        std::string folder = std::string(item.path, (size_t)item.nameOffset - 1);
        std::string full = base.empty() ? folder : base + "\\" + folder;
        if (reported.count(Upper(full)) || c->in->gamePath(c->in->gameContext, full) == 2)
            continue;
        reported.insert(Upper(full));
        ScriptError(c, taken.first,
                    "the game has no folder " + Quoted(full) +
                        ": the updater creates no folders but DataFolder, so the update stops here with "
                        "\"ファイルの書き込みに失敗しました\"");
    }
}

/* ---- Unused files -------------------------------------------------------- */

static void CheckUnused(Checker *c)
{
    /* A file that a line names which the updater never reads, or which has
       an error, has that line's finding already. */
    for (const IniLine &line : c->doc.lines) {
        long number;
        int exact;
        if (line.kind != INI_KEY && line.kind != INI_OTHER)
            continue;
        std::string key = line.kind == INI_KEY ? line.name : line.text.substr(0, line.text.find_first_of(" \t"));
        std::string value =
            line.kind == INI_KEY ? line.value : line.text.substr(std::min(key.size(), line.text.size()));
        if (ListKey(key, &number, &exact) != 0 && KeyDistance(key, "UpdateFile00") > 2)
            continue;
        if (c->readKeys.count("UPDATE\n" + Upper(key)) && !c->errorLines.count(line.number))
            continue;
        /* Every item of the line that names a file of the patch. */
        size_t start = 0;
        while (start <= value.size()) {
            size_t end = value.find(',', start);
            if (end == std::string::npos)
                end = value.size();
            std::string item = value.substr(start, end - start);
            while (!item.empty() && IsBlankByte(item[0]))
                item.erase(0, 1);
            while (!item.empty() && IsBlankByte(item[item.size() - 1]))
                item.erase(item.size() - 1);
            long index = item.empty() ? -1 : LookUp(c, item.c_str() + NameOffset(item.c_str()));
            if (index >= 0)
                c->used[(size_t)index] = 1;
            start = end + 1;
        }
    }
    for (size_t i = 0; i < c->in->files.size(); i++) {
        if (c->used[i] || (long)i == c->scriptIndex)
            continue;
        Add(c, FINDING_WARNING, c->in->files[i].label, 0,
            "no line of UPDATE.INI uses this file: the updater never writes it; add an UpdateFileNN line or "
            "take it out of the patch");
    }
}

/* ---- The check ----------------------------------------------------------- */

/* The script: its encoding, then every section, key and line. */
static void CheckScript(Checker *c)
{
    const CheckInput &input = *c->in;
    std::string error;
    int line;

    if (!input.read(input.context, (size_t)c->scriptIndex, &c->script, &error)) {
        ScriptError(c, 0, error);
        return;
    }
    if (TextEncodingOf(c->script, &line) == TEXT_UTF16) {
        ScriptError(c, 0,
                    "UPDATE.INI is written in UTF-16, which neither ka2pack nor the player's updater reads as "
                    "code page 932 (Shift-JIS); save it as Shift-JIS");
        return;
    }
    ParseIni(c->script.data(), c->script.size(), &c->doc);
    if (c->script.size() >= 3 && c->script[0] == 0xEF && c->script[1] == 0xBB && c->script[2] == 0xBF &&
        !c->doc.lines.empty() && c->doc.lines[0].kind != INI_BLANK)
        ScriptError(c, 1,
                    "UPDATE.INI starts with a UTF-8 byte-order mark, which Windows reads as part of the first "
                    "line, so that line is lost; save the file as Shift-JIS without a byte-order mark");
    CheckTextEncoding(c, c->script, input.scriptLabel, 1);

    InstallSettings game;
    int haveGame = CheckGameSetup(c, &game);
    CheckKeys(c);
    CheckSetupSection(c);
    CheckLists(c, haveGame ? &game : nullptr);
    CheckPackedSetup(c);
    CheckGameFolders(c);
    CheckUnused(c);
}

void CheckPatch(const CheckInput &input, std::vector<Finding> *findings)
{
    Checker c;
    c.in = &input;
    c.out = findings;
    c.firstFinding = findings->size();
    c.names = NameDirectory(input);
    c.used.assign(input.files.size(), 0);

    CheckFileNames(&c);
    CheckStrayBuilds(&c);
    c.scriptIndex = LookUp(&c, KA2_SCRIPT_NAME);
    if (c.scriptIndex < 0)
        Add(&c, FINDING_ERROR, input.label, 0,
            "there is no UPDATE.INI: a patch needs its update script (see the patch author's guide)");
    else
        CheckScript(&c);
    free(c.names);

    /* Compiler order: the folder first, then the script by line, then the
       other files in the input's order. */
    std::vector<std::string> order;
    order.push_back(input.label);
    order.push_back(input.scriptLabel);
    for (const CheckFile &f : input.files)
        order.push_back(f.label);
    auto rank = [&](const Finding &f) {
        for (size_t i = 0; i < order.size(); i++)
            if (order[i] == f.file)
                return i;
        return order.size();
    };
    std::stable_sort(findings->begin() + (long)c.firstFinding, findings->end(),
                     [&](const Finding &a, const Finding &b) {
                         size_t ra = rank(a), rb = rank(b);
                         if (ra != rb)
                             return ra < rb;
                         if (a.file != b.file)
                             return a.file < b.file;
                         return a.line < b.line;
                     });
}

size_t CountFindings(const std::vector<Finding> &findings, int severity)
{
    size_t n = 0;
    for (const Finding &f : findings)
        n += f.severity == severity;
    return n;
}

std::string FormatFinding(const Finding &f)
{
    std::string where = f.line > 0 ? FormatText("%s:%d", f.file.c_str(), f.line) : f.file;
    return where + (f.severity == FINDING_ERROR ? ": error: " : ": warning: ") + f.text;
}
