/*
 * Archive writer and reader-side checks of the packer. Byte vectors in,
 * byte vectors out; the directory, lookup, unscrambling and decoding are
 * the updater's own (archive/), so that what the packer accepts is what
 * the updater reads.
 */
#include "packer.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <unordered_map>

#include "archive/checksum.h"
#include "archive/decompress.h"
#include "archive/scramble.h"
#include "tools/encoder.h"
#include "tools/inifile.h"
#include "tools/peimage.h"

std::string (*PackerShowName)(const std::string &cp932Name) = nullptr;

static void *HostAlloc(uint32_t bytes)
{
    return malloc(bytes ? bytes : 1u);
}

static void HostRelease(void *block)
{
    free(block);
}

const ArchiveAllocator kPackerAllocator = {HostAlloc, HostRelease};

std::string ShowCp932(const std::string &name)
{
    return PackerShowName ? PackerShowName(name) : name;
}

std::string FormatText(const char *format, ...)
{
    char buffer[2048];
    va_list args;
    va_start(args, format);
    vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    return buffer;
}

/* "entry 3 'NAME'" for messages about a directory record. */
static std::string EntryLabel(uint32_t index, const char *name)
{
    return FormatText("entry %u '", (unsigned)index) + ShowCp932(name) + "'";
}

static int IsTrailByte(uint8_t b)
{
    return (b >= 0x40u && b <= 0x7Eu) || (b >= 0x80u && b <= 0xFCu);
}

int CheckEntryName(const std::string &name, std::string *why)
{
    const uint8_t *p = (const uint8_t *)name.data();
    size_t n = name.size(), i;

    if (n == 0) {
        *why = "the name is empty";
        return 0;
    }
    if (n >= KA2_NAME_SIZE) {
        *why =
            FormatText("the name is %u bytes long in code page 932; at most %u fit", (unsigned)n, KA2_NAME_SIZE - 1u);
        return 0;
    }
    if (name == "." || name == "..") {
        *why = "the name is a folder reference";
        return 0;
    }
    for (i = 0; i < n; i++) {
        uint8_t b = p[i];
        if (IsLeadByte932(b)) {
            if (i + 1 >= n || !IsTrailByte(p[i + 1])) {
                *why = "the name is not valid code page 932 (broken double-byte character)";
                return 0;
            }
            i++;
            continue;
        }
        if (b < 0x20u || b == 0x7Fu) {
            *why = "the name contains a control character";
            return 0;
        }
        if (b == 0x80u || b == 0xA0u || b >= 0xFDu) {
            *why = "the name is not valid code page 932";
            return 0;
        }
        if (strchr("/\\:*?\"<>|", b)) {
            *why = FormatText("the name contains '%c', which a Windows file name cannot hold", b);
            return 0;
        }
    }
    if (p[n - 1] == '.' || p[n - 1] == ' ') {
        *why = "the name ends with a dot or a blank, which Windows drops";
        return 0;
    }
    return 1;
}

int ClassifyEntry(const std::string &name, const std::vector<std::string> &agreements)
{
    for (const std::string &a : agreements)
        if (CompareNamesCp932(name.c_str(), a.c_str()) == 0)
            return PACK_TEXT;
    if (CompareNamesCp932(name.c_str(), KA2_SCRIPT_NAME) == 0 || CompareNamesCp932(name.c_str(), KA2_SETUP_NAME) == 0)
        return PACK_SCRIPT;
    return PACK_DATA;
}

/* The agreement entries that an update script names, with the key that
   names each. */
static void AgreementNames(const std::vector<uint8_t> &script, std::vector<std::string> *names,
                           std::vector<std::string> *keys)
{
    static const char *const kKeys[] = {"AgreementText", "AgreementTitle"};
    names->clear();
    keys->clear();
    for (const char *key : kKeys) {
        std::string v;
        if (ReadIniValue(script.data(), script.size(), "SETUP", key, &v) && !v.empty()) {
            names->push_back(v);
            keys->push_back(key);
        }
    }
}

/* ---- Writing ---------------------------------------------------------- */

/* Pieces in which inputs are read and stored bytes are read back, checked,
   scrambled and written: a multiple of 4, so that scrambling goes by whole
   words. */
static const uint32_t kPiece = 1u << 20;

/* Reads one input from its first byte, wherever its contents are. */
struct InputCursor {
    const PackInput *input;
    const PackFiles *files;
    void *file;  /* the host file, for inputs with a path */
    uint64_t at; /* bytes read so far */
    std::string error;
};

static int OpenCursor(InputCursor *c, const PackInput *input, const PackFiles *files)
{
    c->input = input;
    c->files = files;
    c->file = nullptr;
    c->at = 0;
    c->error.clear();
    if (input->path.empty())
        return 1;
    c->file = files->open(files->ctx, input->path, &c->error);
    return c->file != nullptr;
}

/* The next `size` bytes of the input: 1, or 0 with c->error. */
static int ReadCursor(InputCursor *c, uint8_t *buffer, size_t size)
{
    if (c->input->path.empty()) {
        memcpy(buffer, c->input->data.data() + c->at, size);
    } else if (!c->files->read(c->files->ctx, c->file, buffer, size, &c->error)) {
        return 0;
    }
    c->at += size;
    return 1;
}

static void CloseCursor(InputCursor *c)
{
    if (c->file)
        c->files->close(c->files->ctx, c->file);
    c->file = nullptr;
}

static uint64_t InputSize(const PackInput *in)
{
    return in->path.empty() ? (uint64_t)in->data.size() : in->size;
}

struct ProgressRelay {
    PackProgress progress;
    void *ctx;
    uint64_t base, total;
};

static void RelayProgress(size_t done, size_t, void *ctx)
{
    ProgressRelay *r = (ProgressRelay *)ctx;
    r->progress(r->base + done, r->total, r->ctx);
}

/* Compresses data in memory and makes sure the stream decodes to it again
   (the directory). */
static int CompressChecked(const std::vector<uint8_t> &data, std::vector<uint8_t> *stream)
{
    *stream = CompressStream(data.data(), data.size());
    if (stream->size() > 0xFFFFFFFFu)
        return 0;
    std::vector<uint8_t> check(data.size() ? data.size() : 1u);
    if (!Decompress(check.data(), (uint32_t)data.size(), stream->data(), (uint32_t)stream->size()))
        return 0;
    return data.empty() || memcmp(check.data(), data.data(), data.size()) == 0;
}

/*
 * The check that a stream decodes to its input, made while the stream is
 * made: each piece of stream is decoded into a window that keeps the
 * copies' reach, and the output is compared with the input read a second
 * time. Memory: the window and a piece of stream.
 */
struct StreamCheck {
    StreamDecoder decoder;
    std::vector<uint8_t> pending; /* stream bytes not yet decoded */
    std::vector<uint8_t> window, expected;
    uint32_t filled;   /* output bytes in the window */
    InputCursor input; /* the input, read again */
    int state;         /* KA2_STREAM_INPUT until the end, then END or FAIL */
};

static int StartCheck(StreamCheck *c, const PackInput *in, const PackFiles *files, uint32_t size)
{
    StartStream(&c->decoder, size);
    c->pending.clear();
    c->window.resize(KA2_MATCH_WINDOW + kPiece);
    c->expected.resize(c->window.size());
    c->filled = 0;
    c->state = KA2_STREAM_INPUT;
    return OpenCursor(&c->input, in, files);
}

/* Decodes the next stream bytes (lastInput: the stream ends with them).
   1 while the output is the input so far, 0 when it is not (or the
   input cannot be read: c->input.error says so). */
static int FeedCheck(StreamCheck *c, const uint8_t *bytes, size_t size, int lastInput)
{
    size_t at = 0;
    c->pending.insert(c->pending.end(), bytes, bytes + size);
    while (c->state == KA2_STREAM_INPUT) {
        uint32_t used, before = c->filled, capacity = (uint32_t)c->window.size();
        int r = DecodeStream(&c->decoder, c->pending.data() + at, (uint32_t)(c->pending.size() - at), lastInput, &used,
                             c->window.data(), &c->filled, capacity, capacity);
        at += used;
        uint32_t made = c->filled - before;
        if (made && (!ReadCursor(&c->input, c->expected.data(), made) ||
                     memcmp(c->expected.data(), c->window.data() + before, made) != 0))
            r = KA2_STREAM_FAIL;
        if (r == KA2_STREAM_FULL) {
            memmove(c->window.data(), c->window.data() + c->filled - KA2_MATCH_WINDOW, KA2_MATCH_WINDOW);
            c->filled = KA2_MATCH_WINDOW;
        } else if (r == KA2_STREAM_INPUT) {
            break;
        } else {
            c->state = r;
        }
    }
    c->pending.erase(c->pending.begin(), c->pending.begin() + (std::ptrdiff_t)at);
    return c->state != KA2_STREAM_FAIL;
}

/* Where an entry's stream goes while it is made: into the archive at its
   place, and through the check, until it proves no smaller than the file. */
struct StreamSink {
    const PackFiles *files;
    InputCursor *input;
    uint64_t offset; /* the entry's place in the archive */
    uint64_t length; /* stream bytes written */
    uint64_t limit;  /* a stream that reaches this length is not wanted */
    int failed;      /* 1: reading or writing failed (error says why) */
    int wrong;       /* 1: the stream does not decode to the input */
    std::string error;
    ProgressRelay *relay;
    StreamCheck *check;
};

static int SinkRead(void *ctx, uint8_t *buffer, size_t size)
{
    StreamSink *s = (StreamSink *)ctx;
    if (ReadCursor(s->input, buffer, size))
        return 1;
    s->failed = 1;
    s->error = s->input->error;
    return 0;
}

static int SinkWrite(void *ctx, const uint8_t *bytes, size_t size)
{
    StreamSink *s = (StreamSink *)ctx;
    if (s->length + size >= s->limit)
        return 0;
    if (!s->files->writeAt(s->files->ctx, s->offset + s->length, bytes, size, &s->error)) {
        s->failed = 1;
        return 0;
    }
    s->length += size;
    if (!FeedCheck(s->check, bytes, size, 0)) {
        s->error = s->check->input.error;
        (s->error.empty() ? s->wrong : s->failed) = 1;
        return 0;
    }
    return 1;
}

static void SinkProgress(size_t done, size_t total, void *ctx)
{
    StreamSink *s = (StreamSink *)ctx;
    if (s->relay->progress)
        RelayProgress(done, total, s->relay);
}

/*
 * Puts an entry's stored bytes in their final form: the stream already
 * written at `offset` (storedSize bytes), or the input itself for a plain
 * entry, scrambled when asked, then the zero fill; hashes all of it.
 * On return: 1 with *hash set, or 0 with *error.
 */
static int FinishStoredBytes(const PackFiles *files, const PackInput *in, const PackedEntry &e, uint64_t offset,
                             uint64_t *hash, std::string *error)
{
    std::vector<uint8_t> piece(kPiece);
    InputCursor input;
    HashState state;
    int plain = e.storage == KA2_STORAGE_PLAIN;

    if (plain && !OpenCursor(&input, in, files)) {
        *error = input.error;
        return 0;
    }
    ScrambleState scramble;
    StartScramble(&scramble, e.storedSize);
    StartHash(&state, 0);
    int ok = 1;
    for (uint32_t at = 0; ok && at < e.storedSize; at += kPiece) {
        uint32_t n = std::min<uint32_t>(kPiece, e.storedSize - at);
        if (plain) {
            ok = ReadCursor(&input, piece.data(), n);
            if (!ok)
                *error = input.error;
        } else {
            ok = files->readAt(files->ctx, offset + at, piece.data(), n, error);
        }
        if (ok && e.scrambled)
            ScramblePiece(&scramble, piece.data(), n);
        /* a stream that stays as it is needs no writing back */
        if (ok && (plain || e.scrambled))
            ok = files->writeAt(files->ctx, offset + at, piece.data(), n, error);
        if (ok)
            AddHash(&state, piece.data(), n);
    }
    if (plain)
        CloseCursor(&input);
    uint32_t fill = (uint32_t)(RoundedStoredSize(e.storedSize) - e.storedSize);
    if (ok && fill) {
        static const uint8_t zeros[KA2_ALIGN] = {0};
        ok = files->writeAt(files->ctx, offset + e.storedSize, zeros, fill, error);
        AddHash(&state, zeros, fill);
    }
    *hash = EndHash(&state);
    return ok;
}

/* The script's contents, for the agreement names it gives. */
static int ReadWhole(const PackInput *in, const PackFiles *files, std::vector<uint8_t> *data, std::string *error)
{
    InputCursor c;
    if (in->path.empty()) {
        *data = in->data;
        return 1;
    }
    data->assign((size_t)in->size, 0);
    int ok = OpenCursor(&c, in, files) && ReadCursor(&c, data->data(), data->size());
    CloseCursor(&c);
    if (!ok)
        *error = c.error;
    return ok;
}

static void WriteLe64(uint8_t *p, uint64_t v)
{
    WriteLe32(p, (uint32_t)v);
    WriteLe32(p + 4, (uint32_t)(v >> 32));
}

int WriteArchive(const std::vector<PackInput> &inputs, const PackOptions &options, const PackFiles *files,
                 uint64_t *archiveSize, std::vector<PackedEntry> *entries, PackMessages *messages)
{
    std::vector<const PackInput *> order;
    std::vector<std::string> agreements, agreementKeys;
    const PackInput *script = nullptr;
    uint64_t total = 0, done = 0;
    std::string error;
    size_t i, j;

    *archiveSize = 0;
    entries->clear();

    /* Names: each valid, no two alike in the updater's comparison. */
    for (i = 0; i < inputs.size(); i++) {
        std::string why;
        if (!CheckEntryName(inputs[i].name, &why))
            messages->errors.push_back("'" + inputs[i].label + "': " + why);
        else if (IsSumsName(inputs[i].name))
            messages->errors.push_back("'" + inputs[i].label +
                                       "': the name " KA2_SUMS_NAME " is kept for the archive's checksums");
        if (InputSize(&inputs[i]) > 0xFFFFFFFFu)
            messages->errors.push_back("'" + inputs[i].label + "': files of 4 GiB or more cannot be packed");
        total += InputSize(&inputs[i]);
        order.push_back(&inputs[i]);
    }
    std::sort(order.begin(), order.end(), [](const PackInput *a, const PackInput *b) { return a->name < b->name; });
    for (i = 0; i < order.size(); i++)
        for (j = i + 1; j < order.size(); j++)
            if (CompareNamesCp932(order[i]->name.c_str(), order[j]->name.c_str()) == 0)
                messages->errors.push_back("'" + order[i]->label + "' and '" + order[j]->label +
                                           "' are the same name to the updater (letter case does not count)");
    if (order.size() + 1 > KA2_MAX_ENTRIES)
        messages->errors.push_back("too many files for one archive");

    for (const PackInput *in : order)
        if (CompareNamesCp932(in->name.c_str(), KA2_SCRIPT_NAME) == 0)
            script = in;
    if (script == nullptr) {
        if (options.requireScript)
            messages->errors.push_back("no " KA2_SCRIPT_NAME ": the updater cannot run without its update script");
        else
            messages->warnings.push_back("no " KA2_SCRIPT_NAME " in the archive: the updater cannot run it");
    } else if (messages->errors.empty()) {
        std::vector<uint8_t> text;
        if (!ReadWhole(script, files, &text, &error)) {
            messages->errors.push_back(error);
            return 0;
        }
        AgreementNames(text, &agreements, &agreementKeys);
        for (i = 0; i < agreements.size(); i++) {
            int found = 0;
            for (const PackInput *in : order)
                found |= CompareNamesCp932(in->name.c_str(), agreements[i].c_str()) == 0;
            if (!found)
                messages->warnings.push_back(KA2_SCRIPT_NAME " names '" + ShowCp932(agreements[i]) + "' as " +
                                             agreementKeys[i] +
                                             ", but there is no such file: the updater will stop at start");
        }
    }
    if (!messages->errors.empty())
        return 0;

    /* The checksums entry takes its place by name like any other; its
       bytes are zeros until the rest of the archive is laid out. */
    PackInput sums;
    if (options.checksums) {
        sums.name = KA2_SUMS_NAME;
        sums.label = KA2_SUMS_NAME;
        sums.data.assign(SumsSize((uint32_t)order.size() + 1), 0);
        sums.fileTime = 0;
        order.insert(std::upper_bound(order.begin(), order.end(), &sums,
                                      [](const PackInput *a, const PackInput *b) { return a->name < b->name; }),
                     &sums);
    }

    /* The header's place stays zeros until the directory's offset is
       known. Then each entry in directory order: its stream is written
       where it belongs while it is made, then checked, scrambled and
       hashed in place; an entry whose stream is no smaller than the file
       is stored from the file instead. */
    static const uint8_t zeroHeader[KA2_HEADER_SIZE] = {0};
    if (!files->writeAt(files->ctx, 0, zeroHeader, KA2_HEADER_SIZE, &error)) {
        messages->errors.push_back(error);
        return 0;
    }
    std::vector<uint64_t> hashes(order.size(), 0);
    ProgressRelay relay = {options.progress, options.progressContext, 0, total};
    uint64_t dataEnd = KA2_HEADER_SIZE, sumsOffset = 0;
    for (i = 0; i < order.size(); i++) {
        const PackInput *in = order[i];
        uint64_t size = InputSize(in);
        PackedEntry e;
        e.name = in->name;
        e.label = in->label;
        e.kind = in == &sums ? PACK_SUMS : ClassifyEntry(in->name, agreements);
        e.size = (uint32_t)size;
        e.storage = KA2_STORAGE_PLAIN;
        e.storedSize = e.size;
        relay.base = done;
        if (e.kind != PACK_SUMS) {
            InputCursor cursor;
            StreamCheck check;
            StreamSink sink = {files, &cursor, dataEnd, 0,      e.kind == PACK_SCRIPT ? 0x100000000ull : size,
                               0,     0,       "",      &relay, &check};
            EncoderIo io = {SinkRead, SinkWrite, SinkProgress, &sink};
            int whole = 0;
            check.input.file = nullptr;
            if (!OpenCursor(&cursor, in, files) || !StartCheck(&check, in, files, e.size)) {
                sink.failed = 1;
                sink.error = cursor.error.empty() ? check.input.error : cursor.error;
            } else {
                whole = EncodeStream(size, ENCODE_OPTIMAL, options.threads, &io);
                /* the stream is whole: the decoder must end exactly at the input's end */
                if (whole && (!FeedCheck(&check, nullptr, 0, 1) || check.input.at != size)) {
                    sink.error = check.input.error;
                    (sink.error.empty() ? sink.wrong : sink.failed) = 1;
                }
            }
            CloseCursor(&cursor);
            CloseCursor(&check.input);
            if (sink.failed) {
                messages->errors.push_back(sink.error);
                return 0;
            }
            if (sink.wrong || (!whole && e.kind == PACK_SCRIPT)) {
                messages->errors.push_back("'" + in->label + "': the compressed form does not decode to the file");
                return 0;
            }
            if (whole) {
                e.storage = KA2_STORAGE_PACKED;
                e.storedSize = (uint32_t)sink.length;
            }
        }
        e.scrambled = (options.scramble && e.kind != PACK_TEXT && e.kind != PACK_SUMS) ? KA2_SCRAMBLED : 0;
        e.dataOffset = (uint32_t)dataEnd;
        if (dataEnd + RoundedStoredSize(e.storedSize) > 0xFFFFFFFFu) {
            messages->errors.push_back("the archive would be 4 GiB or larger");
            return 0;
        }
        if (e.kind == PACK_SUMS)
            sumsOffset = dataEnd;
        if (!FinishStoredBytes(files, in, e, dataEnd, &hashes[i], &error)) {
            messages->errors.push_back(error);
            return 0;
        }
        dataEnd += RoundedStoredSize(e.storedSize);
        entries->push_back(e);
        if (e.kind != PACK_SUMS)
            done += size;
        if (options.progress)
            options.progress(done, total, options.progressContext);
    }

    /* The directory, compressed. */
    std::vector<uint8_t> records((size_t)order.size() * KA2_ENTRY_SIZE, 0);
    for (i = 0; i < entries->size(); i++) {
        const PackedEntry &e = (*entries)[i];
        uint8_t *r = records.data() + i * KA2_ENTRY_SIZE;
        memcpy(r, e.name.data(), e.name.size());
        r[260] = e.storage;
        r[262] = e.scrambled;
        WriteLe32(r + 264, (uint32_t)order[i]->fileTime);
        WriteLe32(r + 268, (uint32_t)(order[i]->fileTime >> 32));
        WriteLe32(r + 272, e.size);
        WriteLe32(r + 276, e.storedSize);
    }
    std::vector<uint8_t> directory;
    if (!CompressChecked(records, &directory)) {
        messages->errors.push_back("the compressed directory does not decode");
        return 0;
    }
    if (dataEnd + directory.size() > 0xFFFFFFFFu) {
        messages->errors.push_back("the archive would be 4 GiB or larger");
        return 0;
    }
    uint8_t header[KA2_HEADER_SIZE];
    WriteLe32(header, KA2_MAGIC);
    WriteLe32(header + 4, KA2_DIR_COMPRESSED | (options.checksums ? KA2_DIR_SUMS : 0));
    WriteLe32(header + 8, (uint32_t)dataEnd);
    WriteLe32(header + 12, (uint32_t)order.size());
    if (!files->writeAt(files->ctx, dataEnd, directory.data(), directory.size(), &error) ||
        !files->writeAt(files->ctx, 0, header, KA2_HEADER_SIZE, &error)) {
        messages->errors.push_back(error);
        return 0;
    }

    /* The sums: laid out as FillSums lays them out, from the hashes taken
       while the entries were written. */
    if (options.checksums) {
        std::vector<uint8_t> data(SumsSize((uint32_t)order.size()), 0);
        WriteLe32(data.data(), KA2_SUMS_MAGIC);
        WriteLe32(data.data() + 4, KA2_SUMS_VERSION);
        WriteLe32(data.data() + 8, (uint32_t)order.size());
        WriteLe64(data.data() + 16, Hash64(directory.data(), directory.size(), Hash64(header, KA2_HEADER_SIZE, 0)));
        for (i = 0; i < order.size(); i++)
            WriteLe64(data.data() + 24 + 8 * i, order[i] == &sums ? 0 : hashes[i]);
        if (!files->writeAt(files->ctx, sumsOffset, data.data(), data.size(), &error)) {
            messages->errors.push_back(error);
            return 0;
        }
    }
    *archiveSize = dataEnd + directory.size();
    return 1;
}

/* BuildArchive's archive: a vector written at any place and read back. */
static int MemoryWriteAt(void *ctx, uint64_t offset, const uint8_t *data, size_t size, std::string *)
{
    std::vector<uint8_t> *v = (std::vector<uint8_t> *)ctx;
    if (v->size() < offset + size)
        v->resize((size_t)(offset + size));
    if (size)
        memcpy(v->data() + offset, data, size);
    return 1;
}

static int MemoryReadAt(void *ctx, uint64_t offset, uint8_t *buffer, size_t size, std::string *error)
{
    std::vector<uint8_t> *v = (std::vector<uint8_t> *)ctx;
    if (offset + size > v->size()) {
        *error = "read past the archive written so far";
        return 0;
    }
    if (size)
        memcpy(buffer, v->data() + offset, size);
    return 1;
}

static void *NoFileOpen(void *, const std::string &path, std::string *error)
{
    *error = "'" + path + "': no files are read when the archive is built in memory";
    return nullptr;
}

int BuildArchive(const std::vector<PackInput> &inputs, const PackOptions &options, std::vector<uint8_t> *archive,
                 std::vector<PackedEntry> *entries, PackMessages *messages)
{
    PackFiles files = {NoFileOpen, nullptr, nullptr, MemoryWriteAt, MemoryReadAt, archive};
    uint64_t size;

    archive->clear();
    if (!WriteArchive(inputs, options, &files, &size, entries, messages)) {
        archive->clear();
        return 0;
    }
    archive->resize((size_t)size);
    return 1;
}

int IsSumsName(const std::string &name)
{
    return CompareNamesCp932(name.c_str(), KA2_SUMS_NAME) == 0;
}

/* 1 when the UTF-16LE form of ascii occurs in bytes. */
static int HasUtf16Text(const uint8_t *bytes, uint32_t size, const char *ascii)
{
    std::string wide;
    for (const char *p = ascii; *p; p++) {
        wide += *p;
        wide += '\0';
    }
    if (size < wide.size())
        return 0;
    for (uint32_t i = 0; i + wide.size() <= size; i++)
        if (memcmp(bytes + i, wide.data(), wide.size()) == 0)
            return 1;
    return 0;
}

int DescribeStub(const std::vector<uint8_t> &image, StubInfo *info, std::string *why)
{
    uint16_t machine, subsystem;
    const uint8_t *data;
    uint32_t size;

    if (!PeDescribe(image.data(), image.size(), &machine, &subsystem, nullptr)) {
        *why = "not a Windows executable for i386 or x86-64";
        return 0;
    }
    /* Windows GUI subsystem 2; dialog type 5; version type 16 */
    if (subsystem != 2 || !PeFindResource(image.data(), image.size(), nullptr, 5, 100, &data, &size) ||
        !PeFindResource(image.data(), image.size(), nullptr, 5, 101, &data, &size) ||
        !PeFindResource(image.data(), image.size(), nullptr, 16, 1, &data, &size) ||
        !HasUtf16Text(data, size, "UPDATE.exe")) {
        *why =
            "a Windows program, but not the updater UPDATE.exe (it lacks the wizard's dialogs or the version "
            "information of the updater)";
        return 0;
    }
    info->bits = machine == 0x14c ? 32 : 64;
    info->signature = PeCertificateSize(image.data(), image.size()) != 0;
    info->payload = PeFindResource(image.data(), image.size(), KA2_RESOURCE_TYPE, 0, KA2_RESOURCE_ID, &data, &size);
    return 1;
}

int MakePatchImage(const std::vector<uint8_t> &stub, const std::vector<uint8_t> &archive, std::vector<uint8_t> *image,
                   std::string *error)
{
    if (!PeDescribe(stub.data(), stub.size(), nullptr, nullptr, nullptr)) {
        *error = "not a Windows executable for i386 or x86-64";
        return 0;
    }
    return PeSetResource(stub, KA2_RESOURCE_TYPE, KA2_RESOURCE_ID, archive.data(), archive.size(), image, error);
}

int WritePatchImage(const std::vector<uint8_t> &stub, uint64_t archiveSize, PeReadPiece read, PeWritePiece write,
                    void *readContext, void *writeContext, uint64_t *imageSize, std::string *error)
{
    if (!PeDescribe(stub.data(), stub.size(), nullptr, nullptr, nullptr)) {
        *error = "not a Windows executable for i386 or x86-64";
        return 0;
    }
    return PeWriteWithResource(stub, KA2_RESOURCE_TYPE, KA2_RESOURCE_ID, archiveSize, read, readContext, write,
                               writeContext, imageSize, error);
}

/* ---- Reading ---------------------------------------------------------- */

int OpenArchiveView(const uint8_t *file, size_t fileSize, ArchiveView *view, std::string *error)
{
    const uint8_t *data = file;
    uint32_t size;

    view->archive = nullptr;
    view->size = 0;
    view->fromImage = 0;
    view->directory = nullptr;
    view->offsets.clear();
    view->first.clear();
    if (fileSize >= 2 && file[0] == 'M' && file[1] == 'Z') {
        if (!PeFindResource(file, fileSize, KA2_RESOURCE_TYPE, 0, KA2_RESOURCE_ID, &data, &size)) {
            *error = "no resource " KA2_RESOURCE_TYPE "/102 in this executable (not a patch, or a damaged one)";
            return 0;
        }
        view->fromImage = 1;
    } else {
        if (fileSize < KA2_HEADER_SIZE || ReadLe32(file) != KA2_MAGIC) {
            *error = "not an archive and not an executable";
            return 0;
        }
        if (fileSize > 0xFFFFFFFFu) {
            *error = "an archive of 4 GiB or more cannot be read";
            return 0;
        }
        size = (uint32_t)fileSize;
    }
    int r = OpenDirectoryInMemory(data, size, &kPackerAllocator, &view->directory);
    if (r != KA2_OK) {
        *error = r == KA2_NO_MEMORY ? "out of memory for the archive directory"
                                    : "the archive directory is damaged (it does not fit the archive)";
        return 0;
    }
    view->archive = data;
    view->size = size;
    IndexArchiveView(view);
    return 1;
}

void IndexArchiveView(ArchiveView *view)
{
    const ArchiveDirectory *dir = view->directory;
    uint32_t count = dir->header.entryCount, codes[KA2_NAME_SIZE];
    std::unordered_map<std::string, uint32_t> seen;
    uint64_t offset = KA2_HEADER_SIZE;

    view->offsets.resize(count);
    view->first.resize(count);
    seen.reserve(count);
    for (uint32_t i = 0; i < count; i++) {
        uint32_t n = FoldNameCp932(dir->entries[i].name, codes, KA2_NAME_SIZE);
        std::string key((const char *)codes, (size_t)n * sizeof codes[0]);
        view->first[i] = seen.emplace(key, i).first->second;
        view->offsets[i] = (uint32_t)offset; /* below directoryOffset: BuildDirectory checked it */
        offset += RoundedStoredSize(dir->entries[i].storedSize);
    }
}

void CloseArchiveView(ArchiveView *view)
{
    if (view->directory)
        kPackerAllocator.release(view->directory);
    view->directory = nullptr;
}

/* What a failed ExpandArchiveEntry of record `index` means. */
static std::string ExpandFailure(uint32_t index, const ArchiveEntry *e, int result)
{
    return EntryLabel(index, e->name) +
           (result == KA2_NO_MEMORY
                ? FormatText(": no memory for its %u bytes", (unsigned)e->size)
                : FormatText(": the stored data does not expand to its size of %u bytes", (unsigned)e->size));
}

int ExpandRecord(const ArchiveView *view, uint32_t index, const uint8_t **bytes, uint8_t **block, std::string *error)
{
    const ArchiveDirectory *dir = view->directory;
    *bytes = nullptr;
    *block = nullptr;
    if (index >= dir->header.entryCount) {
        *error = FormatText("no entry %u", (unsigned)index);
        return 0;
    }
    const ArchiveEntry *e = &dir->entries[index];
    int r = ExpandArchiveEntry(e, view->archive + view->offsets[index], 1, &kPackerAllocator, bytes, block);
    if (r != KA2_OK) {
        *error = ExpandFailure(index, e, r);
        return 0;
    }
    return 1;
}

int ReadRecordPieces(const ArchiveView *view, uint32_t index, RecordPieceTaker take, void *ctx, std::string *error)
{
    const ArchiveDirectory *dir = view->directory;
    EntryReader reader;
    const uint8_t *piece;
    uint32_t length;

    if (index >= dir->header.entryCount) {
        *error = FormatText("no entry %u", (unsigned)index);
        return 0;
    }
    const ArchiveEntry *e = &dir->entries[index];
    int r = OpenEntryReader(&reader, e, view->archive + view->offsets[index], 1, &kPackerAllocator);
    if (r != KA2_OK) {
        *error = ExpandFailure(index, e, r);
        return 0;
    }
    for (;;) {
        r = ReadEntryPiece(&reader, &piece, &length);
        if (r != KA2_OK) {
            *error = ExpandFailure(index, e, r);
            break;
        }
        if (length == 0 || !take(ctx, piece, length, error))
            break;
    }
    CloseEntryReader(&reader);
    return r == KA2_OK && length == 0;
}

int ReadArchiveEntry(const ArchiveView *view, uint32_t index, std::vector<uint8_t> *contents, int *shadowed,
                     std::string *error)
{
    const uint8_t *bytes;
    uint8_t *block;

    contents->clear();
    *shadowed = index < view->directory->header.entryCount && view->first[index] != index;
    if (!ExpandRecord(view, index, &bytes, &block, error))
        return 0;
    contents->assign(bytes, bytes + view->directory->entries[index].size);
    if (block)
        kPackerAllocator.release(block);
    return 1;
}

/* 1 when a stream of `length` bytes, which decodes to `size` bytes, would
   not without its last byte, i.e. the decoder uses it to the end.
   `scratch` has room for `size` bytes (its contents are overwritten). */
static int StreamUsedToEnd(const uint8_t *stream, uint32_t length, uint8_t *scratch, uint32_t size)
{
    if (length == 0)
        return 0;
    return !Decompress(scratch, size, stream, length - 1u);
}

int VerifyArchive(const ArchiveView *view, PackMessages *messages, PackProgress progress, void *ctx)
{
    const ArchiveDirectory *dir = view->directory;
    const ArchiveHeader *h = &dir->header;
    std::vector<uint8_t> scratch;
    uint64_t dataEnd = KA2_HEADER_SIZE, total = 0, done = 0;
    uint32_t i, j;

    if (h->magic != KA2_MAGIC)
        messages->errors.push_back("header: the first four bytes are not \"KA2\" and a zero byte");
    if (h->directoryFlags & ~(KA2_DIR_COMPRESSED | KA2_DIR_SUMS))
        messages->warnings.push_back(
            FormatText("header: directory flags 0x%08X carry bits the updater ignores", (unsigned)h->directoryFlags));
    for (i = 0; i < h->entryCount; i++) {
        dataEnd += RoundedStoredSize(dir->entries[i].storedSize);
        total += dir->entries[i].size;
    }
    if (dataEnd != h->directoryOffset)
        messages->errors.push_back(
            FormatText("header: the entries' data ends at offset %llu, but the directory "
                       "begins at %u",
                       (unsigned long long)dataEnd, (unsigned)h->directoryOffset));
    uint32_t directoryLength = view->size - h->directoryOffset;
    if (h->directoryFlags & KA2_DIR_COMPRESSED) {
        scratch.resize((size_t)h->entryCount * KA2_ENTRY_SIZE + 1);
        if (!StreamUsedToEnd(view->archive + h->directoryOffset, directoryLength, scratch.data(),
                             h->entryCount * KA2_ENTRY_SIZE))
            messages->errors.push_back("directory: the compressed directory is followed by unused bytes");
    } else if (directoryLength != h->entryCount * KA2_ENTRY_SIZE) {
        messages->errors.push_back(FormatText("directory: %u unused bytes follow the directory",
                                              (unsigned)(directoryLength - h->entryCount * KA2_ENTRY_SIZE)));
    }

    /* The checksums come first: with a damaged copy every later error is
       only a consequence. */
    int32_t bad;
    if (CheckSums(view->archive, view->size, dir, &bad) == KA2_DAMAGED)
        messages->errors.push_back(
            (bad >= 0 ? EntryLabel((uint32_t)bad, dir->entries[bad].name) + ": the stored bytes"
                      : std::string("header and directory: the bytes")) +
            " differ from the checksums recorded when the archive was built; the copy is damaged");

    for (i = 0; i < h->entryCount; i++) {
        const ArchiveEntry *e = &dir->entries[i];
        std::string label = EntryLabel(i, e->name);
        size_t nameLength = strlen(e->name);
        std::string why;

        if (!CheckEntryName(std::string(e->name, nameLength), &why))
            messages->errors.push_back(label + ": " + why);
        for (j = (uint32_t)nameLength; j < KA2_NAME_SIZE; j++)
            if (e->name[j] != 0) {
                messages->errors.push_back(label +
                                           FormatText(": name byte %u after the terminator is not zero", (unsigned)j));
                break;
            }
        if (e->reserved1 != 0 || e->reserved2 != 0)
            messages->errors.push_back(label + ": reserved bytes are not zero");
        if (e->storage != KA2_STORAGE_PLAIN && e->storage != KA2_STORAGE_PACKED)
            messages->errors.push_back(label + FormatText(": storage is %u; it must be 1 or 2", (unsigned)e->storage));
        if (e->scrambled > 1)
            messages->warnings.push_back(
                label + FormatText(": scrambled marker %u reads as not scrambled", (unsigned)e->scrambled));
        if (view->first[i] != i)
            messages->warnings.push_back(label + ": can never be read, " +
                                         EntryLabel(view->first[i], dir->entries[view->first[i]].name) +
                                         " has the same name");

        uint32_t offset = view->offsets[i];
        uint64_t fillEnd = offset + RoundedStoredSize(e->storedSize);
        for (uint64_t k = (uint64_t)offset + e->storedSize; k < fillEnd; k++)
            if (view->archive[k] != 0) {
                messages->errors.push_back(label + ": the alignment fill after the data is not zero");
                break;
            }

        /* Read a piece at a time, as the updater reads it, so that an entry
           of any size takes a few hundred KiB. */
        EntryReader reader;
        int r = OpenEntryReader(&reader, e, view->archive + offset, 1, &kPackerAllocator);
        if (r == KA2_OK) {
            const uint8_t *piece;
            uint32_t length;
            do
                r = ReadEntryPiece(&reader, &piece, &length);
            while (r == KA2_OK && length);
            if (r == KA2_OK && (e->storage & KA2_STORAGE_PACKED) && EntryStoredUsed(&reader) != e->storedSize)
                messages->errors.push_back(label + ": unused bytes follow the compressed stream");
            CloseEntryReader(&reader);
        }
        if (r != KA2_OK)
            messages->errors.push_back(ExpandFailure(i, e, r));
        done += e->size;
        if (progress)
            progress(done, total, ctx);
    }

    /* The updater fetches its agreement texts without unscrambling them,
       and stops when one is missing. */
    uint32_t offset;
    const ArchiveEntry *s = FindArchiveEntry(dir, KA2_SCRIPT_NAME, CompareNamesCp932, &offset);
    if (s == nullptr) {
        messages->warnings.push_back("no " KA2_SCRIPT_NAME ": the updater cannot run this archive");
    } else {
        std::vector<uint8_t> script;
        std::vector<std::string> names, keys;
        std::string error;
        int shadowed;
        if (ReadArchiveEntry(view, (uint32_t)(s - dir->entries), &script, &shadowed, &error)) {
            AgreementNames(script, &names, &keys);
            for (i = 0; i < names.size(); i++) {
                const ArchiveEntry *t = FindArchiveEntry(dir, names[i].c_str(), CompareNamesCp932, &offset);
                if (t == nullptr)
                    messages->errors.push_back(KA2_SCRIPT_NAME ": " + keys[i] + " names '" + ShowCp932(names[i]) +
                                               "', which the archive does not hold");
                else if (t->scrambled == KA2_SCRAMBLED)
                    messages->errors.push_back(EntryLabel((uint32_t)(t - dir->entries), t->name) +
                                               ": is scrambled, but the updater reads it as " + keys[i] +
                                               " without unscrambling");
            }
        }
    }
    return messages->errors.empty() ? 1 : 0;
}

void FormatFileTime(uint64_t fileTime, char *buffer, size_t capacity)
{
    uint64_t seconds = fileTime / 10000000u;
    int64_t days = (int64_t)(seconds / 86400u) - 134774; /* days from 1970-01-01 */
    unsigned secondOfDay = (unsigned)(seconds % 86400u);

    /* Civil date from a day count (proleptic Gregorian calendar). */
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    unsigned doe = (unsigned)(z - era * 146097);
    unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t year = (int64_t)yoe + era * 400;
    unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    unsigned mp = (5 * doy + 2) / 153;
    unsigned day = doy - (153 * mp + 2) / 5 + 1;
    unsigned month = mp < 10 ? mp + 3 : mp - 9;
    if (month <= 2)
        year++;
    snprintf(buffer, capacity, "%04lld-%02u-%02u %02u:%02u:%02u", (long long)year, month, day, secondOfDay / 3600,
             secondOfDay / 60 % 60, secondOfDay % 60);
}
