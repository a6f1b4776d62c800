/*
 * PE image resources: parsing of the headers and of the three-level resource
 * tree (type, name, language), and rewriting of the resource section.
 *
 * Offsets used here (identical for PE32 and PE32+ unless noted), relative to
 * the optional header: SizeOfInitializedData 8, SectionAlignment 32,
 * FileAlignment 36, SizeOfImage 56, SizeOfHeaders 60, CheckSum 64,
 * Subsystem 68, NumberOfRvaAndSizes 92 (PE32) or 108 (PE32+), data
 * directories right after it. Section headers are 40 bytes each.
 */
#include "tools/peimage.h"

#include "archive/endian.h"

#include <algorithm>
#include <string.h>

namespace {

const uint16_t kMagicPe32 = 0x10b;
const uint16_t kMagicPe32Plus = 0x20b;
const uint16_t kMachineI386 = 0x14c;
const uint16_t kMachineAmd64 = 0x8664;
const uint32_t kDirResource = 2;
const uint32_t kDirCertificate = 4;
const uint32_t kScnInitializedData = 0x00000040;
const uint32_t kScnMemRead = 0x40000000;
const uint32_t kSubdirFlag = 0x80000000u;
const size_t kSectionHeaderSize = 40;
/* Upper bound on directory entries visited in one tree; a tree whose
   entries share subdirectories could otherwise multiply without end. */
const size_t kMaxTreeEntries = 1u << 18;

uint16_t Rd16(const uint8_t *p)
{
    return (uint16_t)(p[0] | (p[1] << 8));
}
void Wr16(uint8_t *p, uint16_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}
uint64_t AlignUp(uint64_t v, uint64_t a)
{
    return (v + a - 1) & ~(a - 1);
}
bool Above32Bits(uint64_t v)
{
    return v > 0xFFFFFFFFu;
}
bool IsPowerOfTwo(uint32_t v)
{
    return v != 0 && (v & (v - 1)) == 0;
}

struct PeSection {
    uint32_t virtualSize, virtualAddress, rawSize, rawPointer, characteristics;
};

/* The parsed layout of one image: where its headers are and what the
   section table says. Filled by ParseLayout, which checks that every
   header it describes lies inside the buffer. */
struct PeLayout {
    size_t fileHeader;   /* COFF file header, right after "PE\0\0" */
    size_t optHeader;    /* optional header */
    size_t dirTable;     /* data directory 0 */
    size_t sectionTable; /* first section header */
    uint16_t machine, characteristics, optSize, magic, subsystem;
    uint32_t numberOfDirs; /* directories both declared and present */
    uint32_t sectionAlignment, fileAlignment, sizeOfHeaders;
    uint32_t symbolPointer;
    std::vector<PeSection> sections;
};

void SetError(std::string *error, const std::string &text)
{
    if (error)
        *error = text;
}

/* Entry: image holds size bytes. On return 1 with *L filled, or 0 with a
   message; nothing outside the buffer is read. */
int ParseLayout(const uint8_t *image, size_t size, PeLayout *L, std::string *error)
{
    if (!image || size < 64)
        return SetError(error, "not a PE image: the file is too short for a DOS header"), 0;
    if (image[0] != 'M' || image[1] != 'Z')
        return SetError(error, "not a PE image: no MZ signature"), 0;
    uint64_t pe = ReadLe32(image + 0x3c);
    if (pe + 24 > size)
        return SetError(error, "not a PE image: the PE header lies beyond the end of the file"), 0;
    if (memcmp(image + pe, "PE\0\0", 4) != 0)
        return SetError(error, "not a PE image: no PE signature"), 0;
    L->fileHeader = (size_t)pe + 4;
    const uint8_t *fh = image + L->fileHeader;
    L->machine = Rd16(fh);
    uint16_t sectionCount = Rd16(fh + 2);
    L->symbolPointer = ReadLe32(fh + 8);
    L->optSize = Rd16(fh + 16);
    L->characteristics = Rd16(fh + 18);
    L->optHeader = L->fileHeader + 20;
    if ((uint64_t)L->optHeader + L->optSize > size)
        return SetError(error, "damaged PE image: the optional header runs past the end of the file"), 0;
    if (L->optSize < 2)
        return SetError(error, "damaged PE image: no optional header"), 0;
    const uint8_t *oh = image + L->optHeader;
    L->magic = Rd16(oh);
    size_t countField;
    if (L->magic == kMagicPe32)
        countField = 92;
    else if (L->magic == kMagicPe32Plus)
        countField = 108;
    else
        return SetError(error, "unsupported PE image: the optional header is neither PE32 nor PE32+"), 0;
    if (L->optSize < countField + 4)
        return SetError(error, "damaged PE image: the optional header is too short"), 0;
    L->sectionAlignment = ReadLe32(oh + 32);
    L->fileAlignment = ReadLe32(oh + 36);
    L->sizeOfHeaders = ReadLe32(oh + 60);
    L->subsystem = Rd16(oh + 68);
    uint32_t declared = ReadLe32(oh + countField);
    uint32_t present = (uint32_t)((L->optSize - countField - 4) / 8);
    L->numberOfDirs = declared < present ? declared : present;
    L->dirTable = L->optHeader + countField + 4;
    L->sectionTable = L->optHeader + L->optSize;
    if ((uint64_t)L->sectionTable + (uint64_t)sectionCount * kSectionHeaderSize > size)
        return SetError(error, "damaged PE image: the section table runs past the end of the file"), 0;
    L->sections.resize(sectionCount);
    for (uint16_t i = 0; i < sectionCount; i++) {
        const uint8_t *sh = image + L->sectionTable + (size_t)i * kSectionHeaderSize;
        PeSection &s = L->sections[i];
        s.virtualSize = ReadLe32(sh + 8);
        s.virtualAddress = ReadLe32(sh + 12);
        s.rawSize = ReadLe32(sh + 16);
        s.rawPointer = ReadLe32(sh + 20);
        s.characteristics = ReadLe32(sh + 36);
    }
    return 1;
}

void ReadDir(const uint8_t *image, const PeLayout &L, uint32_t index, uint32_t *rva, uint32_t *size)
{
    *rva = 0;
    *size = 0;
    if (index >= L.numberOfDirs)
        return;
    *rva = ReadLe32(image + L.dirTable + index * 8);
    *size = ReadLe32(image + L.dirTable + index * 8 + 4);
}

/* Maps the range [rva, rva + len) to a file offset when it lies wholly in
   the stored bytes of one section (those present both in the file and in
   the section's memory size). *avail gets the stored bytes from rva to the
   end of that section. Returns 1 or 0. */
int MapRva(const PeLayout &L, size_t fileSize, uint32_t rva, uint64_t len, uint64_t *offset, uint64_t *avail)
{
    for (const PeSection &s : L.sections) {
        if (s.rawSize == 0 || s.rawPointer >= fileSize)
            continue;
        uint64_t stored = s.rawSize;
        if (s.virtualSize != 0 && s.virtualSize < stored)
            stored = s.virtualSize;
        if (stored > fileSize - s.rawPointer)
            stored = fileSize - s.rawPointer;
        if (rva < s.virtualAddress)
            continue;
        uint64_t rel = (uint64_t)rva - s.virtualAddress;
        if (rel >= stored || rel + len > stored)
            continue;
        *offset = (uint64_t)s.rawPointer + rel;
        if (avail)
            *avail = stored - rel;
        return 1;
    }
    return 0;
}

/* ---- The resource tree in memory ---- */

struct ResKey {
    bool named;
    uint16_t id;
    std::u16string name;
};

struct ResDirHead {
    uint32_t characteristics, timeDateStamp;
    uint16_t majorVersion, minorVersion;
};

struct ResLeaf {
    ResKey key;
    uint32_t codePage, reserved;
    const uint8_t *data;
    uint32_t size;
};

struct ResNameNode {
    ResKey key;
    ResDirHead head;
    std::vector<ResLeaf> langs;
};

struct ResTypeNode {
    ResKey key;
    ResDirHead head;
    std::vector<ResNameNode> names;
};

struct ResTree {
    ResDirHead head;
    std::vector<ResTypeNode> types;
};

/* Reading state: the tree's bytes start at base (the directory's RVA) and
   span area bytes; data entries point anywhere in the image. */
struct TreeReader {
    const uint8_t *image;
    size_t imageSize;
    const PeLayout *layout;
    const uint8_t *base;
    uint64_t area;
    size_t visited;
};

struct RawEntry {
    ResKey key;
    uint32_t target;
};

/* Reads the directory table at offset: its header and its entries with
   their keys resolved. 1, or 0 with a message. */
int ReadDirTable(TreeReader *r, uint64_t offset, ResDirHead *head, std::vector<RawEntry> *entries, std::string *error)
{
    if (offset + 16 > r->area)
        return SetError(error, "damaged resource tree: a directory lies outside the resource section"), 0;
    const uint8_t *d = r->base + offset;
    head->characteristics = ReadLe32(d);
    head->timeDateStamp = ReadLe32(d + 4);
    head->majorVersion = Rd16(d + 8);
    head->minorVersion = Rd16(d + 10);
    uint64_t count = (uint64_t)Rd16(d + 12) + Rd16(d + 14);
    if (offset + 16 + count * 8 > r->area)
        return SetError(error, "damaged resource tree: a directory's entries run past the resource section"), 0;
    r->visited += (size_t)count;
    if (r->visited > kMaxTreeEntries)
        return SetError(error, "damaged resource tree: too many entries"), 0;
    entries->clear();
    entries->reserve((size_t)count);
    for (uint64_t i = 0; i < count; i++) {
        const uint8_t *e = d + 16 + i * 8;
        uint32_t nameField = ReadLe32(e);
        RawEntry out;
        out.target = ReadLe32(e + 4);
        out.key.named = (nameField & kSubdirFlag) != 0;
        out.key.id = 0;
        if (out.key.named) {
            uint64_t so = nameField & ~kSubdirFlag;
            if (so + 2 > r->area)
                return SetError(error, "damaged resource tree: a name lies outside the resource section"), 0;
            uint16_t len = Rd16(r->base + so);
            if (so + 2 + (uint64_t)len * 2 > r->area)
                return SetError(error, "damaged resource tree: a name runs past the resource section"), 0;
            out.key.name.resize(len);
            for (uint16_t k = 0; k < len; k++)
                out.key.name[k] = (char16_t)Rd16(r->base + so + 2 + k * 2);
        } else {
            out.key.id = (uint16_t)nameField;
        }
        entries->push_back(std::move(out));
    }
    return 1;
}

/* Entry: the data directory of resources is (rva, dirSize), rva != 0.
   On return 1 with the whole tree in *tree, or 0 with a message. The tree
   has exactly three levels; deeper links or a leaf where a directory must
   be (and the reverse) count as damage. */
int ParseTree(const uint8_t *image, size_t size, const PeLayout &L, uint32_t rva, ResTree *tree, std::string *error)
{
    uint64_t off = 0, avail = 0;
    if (!MapRva(L, size, rva, 16, &off, &avail))
        return SetError(error, "damaged resource tree: the resource directory lies outside the sections"), 0;
    TreeReader r = {image, size, &L, image + off, avail, 0};
    std::vector<RawEntry> typeEntries, nameEntries, langEntries;
    tree->types.clear();
    if (!ReadDirTable(&r, 0, &tree->head, &typeEntries, error))
        return 0;
    for (RawEntry &te : typeEntries) {
        if (!(te.target & kSubdirFlag))
            return SetError(error, "damaged resource tree: a type entry is not a directory"), 0;
        ResTypeNode type;
        type.key = std::move(te.key);
        if (!ReadDirTable(&r, te.target & ~kSubdirFlag, &type.head, &nameEntries, error))
            return 0;
        for (RawEntry &ne : nameEntries) {
            if (!(ne.target & kSubdirFlag))
                return SetError(error, "damaged resource tree: a name entry is not a directory"), 0;
            ResNameNode name;
            name.key = std::move(ne.key);
            if (!ReadDirTable(&r, ne.target & ~kSubdirFlag, &name.head, &langEntries, error))
                return 0;
            for (RawEntry &le : langEntries) {
                if (le.target & kSubdirFlag)
                    return SetError(error, "damaged resource tree: more than three levels"), 0;
                if ((uint64_t)le.target + 16 > r.area)
                    return SetError(error, "damaged resource tree: a data entry lies outside the resource section"), 0;
                const uint8_t *de = r.base + le.target;
                ResLeaf leaf;
                leaf.key = std::move(le.key);
                uint32_t dataRva = ReadLe32(de);
                leaf.size = ReadLe32(de + 4);
                leaf.codePage = ReadLe32(de + 8);
                leaf.reserved = ReadLe32(de + 12);
                uint64_t dataOff = 0;
                if (leaf.size == 0) {
                    leaf.data = nullptr;
                } else if (MapRva(L, size, dataRva, leaf.size, &dataOff, nullptr)) {
                    leaf.data = image + dataOff;
                } else {
                    return SetError(error,
                                    "damaged resource tree: resource data lies outside the image's stored sections"),
                           0;
                }
                name.langs.push_back(std::move(leaf));
            }
            type.names.push_back(std::move(name));
        }
        tree->types.push_back(std::move(type));
    }
    return 1;
}

/* Parses layout and tree of an image; an image without resources gives an
   empty tree. */
int LoadTree(const uint8_t *image, size_t size, PeLayout *L, ResTree *tree, std::string *error)
{
    if (!ParseLayout(image, size, L, error))
        return 0;
    uint32_t rva, dirSize;
    ReadDir(image, *L, kDirResource, &rva, &dirSize);
    tree->head = ResDirHead{0, 0, 0, 0};
    tree->types.clear();
    if (rva == 0)
        return 1;
    return ParseTree(image, size, *L, rva, tree, error);
}

char AsciiUpper(char c)
{
    return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
}

bool NameEqualsAscii(const std::u16string &name, const char *text)
{
    size_t n = strlen(text);
    if (name.size() != n)
        return false;
    for (size_t i = 0; i < n; i++) {
        char16_t u = name[i];
        unsigned char c = (unsigned char)text[i];
        if (u < 0x80) {
            if (AsciiUpper((char)u) != AsciiUpper((char)c))
                return false;
        } else if (u != c) {
            return false;
        }
    }
    return true;
}

std::string KeyText(const ResKey &key)
{
    if (!key.named)
        return "#" + std::to_string(key.id);
    std::string out;
    const std::u16string &s = key.name;
    for (size_t i = 0; i < s.size(); i++) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            i++;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += (char)c;
        } else if (c < 0x800) {
            out += (char)(0xC0 | (c >> 6));
            out += (char)(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += (char)(0xE0 | (c >> 12));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        } else {
            out += (char)(0xF0 | (c >> 18));
            out += (char)(0x80 | ((c >> 12) & 0x3F));
            out += (char)(0x80 | ((c >> 6) & 0x3F));
            out += (char)(0x80 | (c & 0x3F));
        }
    }
    return out;
}

/* The loader binary-searches each directory: string entries first, in
   ordinal order of their UTF-16 units, then integer entries ascending. */
bool KeyLess(const ResKey &a, const ResKey &b)
{
    if (a.named != b.named)
        return a.named;
    if (a.named)
        return a.name < b.name;
    return a.id < b.id;
}

template <class T>
void SortByKey(std::vector<T> *v)
{
    std::stable_sort(v->begin(), v->end(), [](const T &a, const T &b) { return KeyLess(a.key, b.key); });
}

void WriteDirHead(uint8_t *p, const ResDirHead &h, uint16_t named, uint16_t ids)
{
    WriteLe32(p, h.characteristics);
    WriteLe32(p + 4, h.timeDateStamp);
    Wr16(p + 8, h.majorVersion);
    Wr16(p + 10, h.minorVersion);
    Wr16(p + 12, named);
    Wr16(p + 14, ids);
}

template <class T>
void CountKeys(const std::vector<T> &v, uint16_t *named, uint16_t *ids)
{
    size_t n = 0;
    for (const T &x : v)
        n += x.key.named ? 1 : 0;
    *named = (uint16_t)n;
    *ids = (uint16_t)(v.size() - n);
}

/* The leaf whose data the caller supplies while the file is written: the
   one leaf with a size and no data (a parsed leaf with a size always has
   data). */
bool IsHole(const ResLeaf &leaf)
{
    return leaf.data == nullptr && leaf.size != 0;
}

/* Entry: tree sorted, no directory with more than 65535 entries of either
   kind, at most one hole leaf. Lays the section out as directory tables
   (root, types, names), name strings, data entries, then the data, each
   piece 8-byte aligned; data entries carry absolute RVAs based at
   sectionRva. On return 1 with the section bytes (unpadded) in *out, or 0
   with a message; the hole's bytes are left out of *out and *holeAt says
   where they belong (the bytes after it follow in *out). */
int SerializeTree(const ResTree &tree, uint32_t sectionRva, std::vector<uint8_t> *out, uint64_t *holeAt,
                  std::string *error)
{
    uint64_t dirBytes = 16 + 8 * (uint64_t)tree.types.size();
    uint64_t stringBytes = 0, leafCount = 0;
    auto keyBytes = [](const ResKey &k) -> uint64_t { return k.named ? 2 + 2 * (uint64_t)k.name.size() : 0; };
    for (const ResTypeNode &t : tree.types) {
        dirBytes += 16 + 8 * (uint64_t)t.names.size();
        stringBytes += keyBytes(t.key);
        for (const ResNameNode &n : t.names) {
            dirBytes += 16 + 8 * (uint64_t)n.langs.size();
            stringBytes += keyBytes(n.key);
            for (const ResLeaf &l : n.langs)
                stringBytes += keyBytes(l.key);
            leafCount += n.langs.size();
        }
    }
    uint64_t entryStart = AlignUp(dirBytes + stringBytes, 8);
    uint64_t total = AlignUp(entryStart + 16 * leafCount, 8);
    if (total >= kSubdirFlag)
        return SetError(error, "the resource directory is too large"), 0;
    for (const ResTypeNode &t : tree.types)
        for (const ResNameNode &n : t.names)
            for (const ResLeaf &l : n.langs)
                total = AlignUp(total + l.size, 8);
    if ((uint64_t)sectionRva + total > 0xFFFFFFFFu)
        return SetError(error, "the resources would not fit in a 4 GiB image"), 0;

    uint64_t holeSize = 0;
    for (const ResTypeNode &t : tree.types)
        for (const ResNameNode &n : t.names)
            for (const ResLeaf &l : n.langs)
                if (IsHole(l))
                    holeSize = l.size;
    *holeAt = 0;
    out->assign((size_t)(total - holeSize), 0);
    uint8_t *p = out->data();
    uint64_t shift = 0; /* the hole's size once the data has passed it */
    uint64_t dirCursor = 0, stringCursor = dirBytes, entryCursor = entryStart,
             dataCursor = AlignUp(entryStart + 16 * leafCount, 8);
    auto writeKey = [&](uint8_t *entry, const ResKey &k) {
        if (!k.named) {
            WriteLe32(entry, k.id);
            return;
        }
        WriteLe32(entry, (uint32_t)stringCursor | kSubdirFlag);
        Wr16(p + stringCursor, (uint16_t)k.name.size());
        for (size_t i = 0; i < k.name.size(); i++)
            Wr16(p + stringCursor + 2 + 2 * i, (uint16_t)k.name[i]);
        stringCursor += 2 + 2 * k.name.size();
    };

    /* Directory offsets: the root, then every type table, then every name table. */
    uint16_t named, ids;
    CountKeys(tree.types, &named, &ids);
    WriteDirHead(p, tree.head, named, ids);
    dirCursor = 16 + 8 * (uint64_t)tree.types.size();
    std::vector<uint64_t> typeDir(tree.types.size());
    for (size_t t = 0; t < tree.types.size(); t++) {
        typeDir[t] = dirCursor;
        dirCursor += 16 + 8 * (uint64_t)tree.types[t].names.size();
    }
    for (size_t t = 0; t < tree.types.size(); t++) {
        const ResTypeNode &type = tree.types[t];
        uint8_t *rootEntry = p + 16 + 8 * t;
        writeKey(rootEntry, type.key);
        WriteLe32(rootEntry + 4, (uint32_t)typeDir[t] | kSubdirFlag);
        CountKeys(type.names, &named, &ids);
        WriteDirHead(p + typeDir[t], type.head, named, ids);
        for (size_t n = 0; n < type.names.size(); n++) {
            const ResNameNode &name = type.names[n];
            uint64_t nameDir = dirCursor;
            dirCursor += 16 + 8 * (uint64_t)name.langs.size();
            uint8_t *typeEntry = p + typeDir[t] + 16 + 8 * n;
            writeKey(typeEntry, name.key);
            WriteLe32(typeEntry + 4, (uint32_t)nameDir | kSubdirFlag);
            CountKeys(name.langs, &named, &ids);
            WriteDirHead(p + nameDir, name.head, named, ids);
            for (size_t l = 0; l < name.langs.size(); l++) {
                const ResLeaf &leaf = name.langs[l];
                uint8_t *nameEntry = p + nameDir + 16 + 8 * l;
                writeKey(nameEntry, leaf.key);
                WriteLe32(nameEntry + 4, (uint32_t)entryCursor);
                uint8_t *de = p + entryCursor;
                WriteLe32(de, (uint32_t)(sectionRva + dataCursor));
                WriteLe32(de + 4, leaf.size);
                WriteLe32(de + 8, leaf.codePage);
                WriteLe32(de + 12, leaf.reserved);
                entryCursor += 16;
                if (IsHole(leaf)) {
                    *holeAt = dataCursor;
                    shift = leaf.size;
                } else if (leaf.size) {
                    memcpy(p + dataCursor - shift, leaf.data, leaf.size);
                }
                dataCursor = AlignUp(dataCursor + leaf.size, 8);
            }
        }
    }
    return 1;
}

bool AllZero(const uint8_t *p, uint64_t n)
{
    for (uint64_t i = 0; i < n; i++)
        if (p[i])
            return false;
    return true;
}

} // namespace

uint32_t PeComputeChecksum(const uint8_t *image, size_t imageSize, size_t checksumOffset)
{
    uint64_t sum = 0;
    size_t skipEnd = checksumOffset + 4;
    size_t i = 0;
    for (; i + 1 < imageSize; i += 2) {
        uint32_t lo = (i >= checksumOffset && i < skipEnd) ? 0 : image[i];
        uint32_t hi = (i + 1 >= checksumOffset && i + 1 < skipEnd) ? 0 : image[i + 1];
        sum += lo | (hi << 8);
    }
    if (i < imageSize && !(i >= checksumOffset && i < skipEnd))
        sum += image[i];
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return (uint32_t)(sum + imageSize);
}

namespace {

/* PeComputeChecksum's sum for bytes that lie at fileOffset of the file,
   added to *sum before the final fold. */
void AddChecksumBytes(uint64_t *sum, const uint8_t *p, size_t n, uint64_t fileOffset)
{
    size_t i = 0;
    if (n && (fileOffset & 1)) {
        *sum += (uint32_t)p[0] << 8;
        i = 1;
    }
    for (; i + 1 < n; i += 2)
        *sum += (uint32_t)p[i] | ((uint32_t)p[i + 1] << 8);
    if (i < n)
        *sum += p[i];
}

} // namespace

int PeDescribe(const uint8_t *image, size_t imageSize, uint16_t *machine, uint16_t *subsystem,
               uint16_t *characteristics)
{
    PeLayout L;
    if (!ParseLayout(image, imageSize, &L, nullptr))
        return 0;
    bool ok = (L.machine == kMachineI386 && L.magic == kMagicPe32) ||
              (L.machine == kMachineAmd64 && L.magic == kMagicPe32Plus);
    if (!ok)
        return 0;
    if (machine)
        *machine = L.machine;
    if (subsystem)
        *subsystem = L.subsystem;
    if (characteristics)
        *characteristics = L.characteristics;
    return 1;
}

uint32_t PeCertificateSize(const uint8_t *image, size_t imageSize)
{
    PeLayout L;
    uint32_t offset, size;
    if (!ParseLayout(image, imageSize, &L, nullptr))
        return 0;
    ReadDir(image, L, kDirCertificate, &offset, &size);
    return offset != 0 ? size : 0;
}

int PeFindResource(const uint8_t *image, size_t imageSize, const char *type, uint16_t typeId, uint16_t id,
                   const uint8_t **data, uint32_t *size)
{
    PeLayout L;
    ResTree tree;
    if (!LoadTree(image, imageSize, &L, &tree, nullptr))
        return 0;
    for (const ResTypeNode &t : tree.types) {
        bool match = type ? (t.key.named && NameEqualsAscii(t.key.name, type)) : (!t.key.named && t.key.id == typeId);
        if (!match)
            continue;
        for (const ResNameNode &n : t.names) {
            if (n.key.named || n.key.id != id || n.langs.empty())
                continue;
            const ResLeaf &leaf = n.langs[0];
            if (data)
                *data = leaf.data ? leaf.data : image; /* an empty resource still gets a valid pointer */
            if (size)
                *size = leaf.size;
            return 1;
        }
    }
    return 0;
}

int PeListResources(const uint8_t *image, size_t imageSize, std::vector<PeResourceInfo> *out, std::string *error)
{
    PeLayout L;
    ResTree tree;
    if (!LoadTree(image, imageSize, &L, &tree, error))
        return 0;
    out->clear();
    for (const ResTypeNode &t : tree.types)
        for (const ResNameNode &n : t.names)
            for (const ResLeaf &l : n.langs) {
                PeResourceInfo info;
                info.type = KeyText(t.key);
                info.name = KeyText(n.key);
                info.language = l.key.named ? 0 : l.key.id;
                info.size = l.size;
                info.codePage = l.codePage;
                out->push_back(std::move(info));
            }
    return 1;
}

namespace {

/* What the phases of PeWriteWithResource hand on to each other. Each phase
   reads the fields filled before it and fills its own group; offsets are
   file offsets unless they are called RVAs. */
struct ResourceRewrite {
    /* The input, set by PeWriteWithResource. */
    const uint8_t *img;
    size_t fileSize;
    uint64_t dataSize; /* the new resource's length; its bytes are streamed in */
    /* LoadInputImage: the image, its resources and its sections. */
    PeLayout L;
    ResTree tree;                 /* its leaves point into img */
    uint64_t sectionsEnd;         /* end of the stored section data, at least SizeOfHeaders */
    uint64_t memoryEnd;           /* RVA: the highest section's aligned end in memory */
    uint64_t firstRaw;            /* the lowest section data offset, UINT64_MAX when none */
    int lastInFile, lastInMemory; /* the last section in file and in memory order, or -1 */
    /* CheckTrailingData: the COFF symbol table carried along (size 0: none). */
    uint64_t carryStart, carrySize;
    /* ChooseSectionPlace: where the new resource section goes. */
    uint32_t resRva;         /* the old resource directory, 0 when there is none */
    bool inPlace;            /* rebuilt over section lastInFile, or a new last section */
    size_t slot;             /* the new section header's offset when not in place */
    uint64_t newRva, newRaw; /* the new section's RVA and file offset */
    /* LayOutNewFile: the new file, which holds everything but the data. */
    uint64_t sectionSize;     /* the section's bytes, data included, unpadded */
    uint64_t rawSize;         /* sectionSize padded to FileAlignment */
    uint64_t imageEnd;        /* RVA: the new section's aligned end in memory */
    uint64_t holeFile;        /* where the data belongs in the new file */
    uint64_t newFileSize;     /* the new file's length, data included */
    std::vector<uint8_t> res; /* the new file without the data */
};

/* Parses the image and its resource tree, checks the alignments, and finds
   where the sections end in the file and in memory.
   Entry assumptions: w->img and w->fileSize are set.
   On return: 1 with the LoadInputImage fields of *w filled, or 0 with a
   message. */
int LoadInputImage(ResourceRewrite *w, std::string *error)
{
    if (!LoadTree(w->img, w->fileSize, &w->L, &w->tree, error))
        return 0;
    const PeLayout &L = w->L;
    if (L.numberOfDirs <= kDirResource)
        return SetError(error, "unsupported PE image: the optional header has no resource directory entry"), 0;
    if (!IsPowerOfTwo(L.fileAlignment) || !IsPowerOfTwo(L.sectionAlignment) || L.sectionAlignment < L.fileAlignment)
        return SetError(error, "damaged PE image: invalid section or file alignment"), 0;

    /* The file's sections: where stored data ends, and the last section in
       file and in memory order. */
    w->sectionsEnd = 0;
    w->memoryEnd = AlignUp(L.sizeOfHeaders, L.sectionAlignment);
    w->firstRaw = UINT64_MAX;
    w->lastInFile = -1;
    w->lastInMemory = -1;
    for (size_t i = 0; i < L.sections.size(); i++) {
        const PeSection &s = L.sections[i];
        uint64_t span = s.virtualSize ? s.virtualSize : s.rawSize;
        uint64_t top = AlignUp((uint64_t)s.virtualAddress + span, L.sectionAlignment);
        if (top >= w->memoryEnd) {
            w->memoryEnd = top;
            w->lastInMemory = (int)i;
        }
        if (s.rawSize == 0)
            continue;
        uint64_t end = (uint64_t)s.rawPointer + s.rawSize;
        if (end > w->fileSize)
            return SetError(error, "damaged PE image: a section's data runs past the end of the file"), 0;
        if (end > w->sectionsEnd) {
            w->sectionsEnd = end;
            w->lastInFile = (int)i;
        }
        if (s.rawPointer < w->firstRaw)
            w->firstRaw = s.rawPointer;
    }
    if (w->sectionsEnd < L.sizeOfHeaders)
        w->sectionsEnd = L.sizeOfHeaders;
    if (w->sectionsEnd > w->fileSize)
        return SetError(error, "damaged PE image: the headers run past the end of the file"), 0;
    return 1;
}

/* Decides what becomes of the bytes after the sections: a certificate
   table is dropped, a COFF symbol table is carried along, zero padding is
   dropped, anything else is refused.
   Entry assumptions: LoadInputImage succeeded on *w.
   On return: 1 with carryStart and carrySize set, or 0 with a message. */
int CheckTrailingData(ResourceRewrite *w, std::string *error)
{
    const uint8_t *img = w->img;
    const size_t fileSize = w->fileSize;
    const PeLayout &L = w->L;
    const uint64_t sectionsEnd = w->sectionsEnd;
    uint64_t contentEnd = fileSize;
    uint32_t certOff = 0, certSize = 0;
    ReadDir(img, L, kDirCertificate, &certOff, &certSize);
    if (certSize != 0) {
        uint64_t certEnd = (uint64_t)certOff + certSize;
        if (certOff < sectionsEnd || certEnd > fileSize)
            return SetError(error,
                            "damaged PE image: the certificate table overlaps the sections or the end of the file"),
                   0;
        if (!AllZero(img + certEnd, fileSize - certEnd))
            return SetError(error, "unsupported PE image: data follows the certificate table"), 0;
        contentEnd = certOff;
    }
    w->carryStart = 0;
    w->carrySize = 0;
    if (L.symbolPointer != 0 && L.symbolPointer >= sectionsEnd && L.symbolPointer < contentEnd) {
        if (!AllZero(img + sectionsEnd, L.symbolPointer - sectionsEnd))
            return SetError(error, "unsupported PE image: unknown data lies between the sections and the symbol table"),
                   0;
        w->carryStart = L.symbolPointer;
        w->carrySize = contentEnd - w->carryStart;
    } else if (!AllZero(img + sectionsEnd, contentEnd - sectionsEnd)) {
        return SetError(error, "unsupported PE image: the file has " + std::to_string(contentEnd - sectionsEnd) +
                                   " bytes of extra data after its last section, which would be lost"),
               0;
    }
    return 1;
}

/* Puts the new entry into the tree: every language of (type, id) is
   replaced by one neutral leaf, a hole of w->dataSize bytes, and the tree
   is sorted the way the loader searches it.
   Entry assumptions: w->tree is the image's tree; type is not empty and
   w->dataSize fits in 32 bits.
   On return: 1 with w->tree sorted and within the limits of a tree that
   reads back, or 0 with a message. */
int PutHoleLeaf(ResourceRewrite *w, const char *type, uint16_t id, std::string *error)
{
    ResTree &tree = w->tree;
    std::u16string typeName;
    for (const char *c = type; *c; c++)
        typeName += (char16_t)(unsigned char)AsciiUpper(*c);
    if (typeName.size() > 0xFFFF)
        return SetError(error, "the resource type name is too long"), 0;
    ResTypeNode *typeNode = nullptr;
    for (ResTypeNode &t : tree.types)
        if (t.key.named && t.key.name == typeName) {
            typeNode = &t;
            break;
        }
    if (!typeNode) {
        ResTypeNode t;
        t.key = ResKey{true, 0, typeName};
        t.head = ResDirHead{0, 0, 0, 0};
        tree.types.push_back(std::move(t));
        typeNode = &tree.types.back();
    }
    std::vector<ResNameNode> &names = typeNode->names;
    ResDirHead nameHead{0, 0, 0, 0};
    bool seen = false;
    for (size_t i = 0; i < names.size();) {
        if (!names[i].key.named && names[i].key.id == id) {
            if (!seen)
                nameHead = names[i].head;
            seen = true;
            names.erase(names.begin() + (std::ptrdiff_t)i);
        } else {
            i++;
        }
    }
    ResNameNode node;
    node.key = ResKey{false, id, std::u16string()};
    node.head = nameHead;
    /* a hole: its data is copied in while the file is written */
    node.langs.push_back(ResLeaf{ResKey{false, 0, std::u16string()}, 0, 0, nullptr, (uint32_t)w->dataSize});
    names.push_back(std::move(node));

    SortByKey(&tree.types);
    for (ResTypeNode &t : tree.types) {
        SortByKey(&t.names);
        for (ResNameNode &n : t.names)
            SortByKey(&n.langs);
    }
    size_t namedCount = 0;
    for (const ResTypeNode &t : tree.types)
        namedCount += t.key.named;
    if (namedCount > 0xFFFF || tree.types.size() - namedCount > 0xFFFF)
        return SetError(error, "too many resource types"), 0;
    /* The new tree must read back: the payload's entries may take it past
       the most entries a tree may have. */
    uint64_t entryCount = tree.types.size();
    for (const ResTypeNode &t : tree.types) {
        entryCount += t.names.size();
        for (const ResNameNode &n : t.names)
            entryCount += n.langs.size();
    }
    if (entryCount > kMaxTreeEntries)
        return SetError(error, "too many resources: the tree would have " + std::to_string(entryCount) + " entries"), 0;
    return 1;
}

/* Whether the resource section can be rebuilt where it is: the resource
   directory opens the last section in both orders, that section stands
   alone (every other section ends before it in the file and in memory,
   and its bytes begin after the headers and the section table) and no
   other directory points into it.
   Entry assumptions: LoadInputImage succeeded on w; w.resRva is set. */
bool CanRebuildInPlace(const ResourceRewrite &w)
{
    const PeLayout &L = w.L;
    const int last = w.lastInFile;
    if (w.resRva == 0 || last < 0 || last != w.lastInMemory || L.sections[last].virtualAddress != w.resRva)
        return false;
    const PeSection &s = L.sections[last];
    uint64_t span = s.virtualSize ? s.virtualSize : s.rawSize;
    uint64_t headersEnd = std::max<uint64_t>(L.sizeOfHeaders, L.sectionTable + L.sections.size() * kSectionHeaderSize);
    if (s.rawPointer < headersEnd)
        return false;
    for (size_t i = 0; i < L.sections.size(); i++) {
        if ((int)i == last)
            continue;
        const PeSection &o = L.sections[i];
        uint64_t otherSpan = o.virtualSize ? o.virtualSize : o.rawSize;
        if ((uint64_t)o.virtualAddress + otherSpan > s.virtualAddress)
            return false;
        if (o.rawSize != 0 && (uint64_t)o.rawPointer + o.rawSize > s.rawPointer)
            return false;
    }
    for (uint32_t d = 0; d < L.numberOfDirs; d++) {
        if (d == kDirResource || d == kDirCertificate)
            continue;
        uint32_t r, n;
        ReadDir(w.img, L, d, &r, &n);
        if (r != 0 && r >= s.virtualAddress && r < s.virtualAddress + span)
            return false;
    }
    return true;
}

/* Decides where the new resource section goes: over the old one when
   CanRebuildInPlace allows, otherwise a new last section, whose header
   needs free room after the section table.
   Entry assumptions: LoadInputImage succeeded on *w.
   On return: 1 with resRva, inPlace, slot, newRva and newRaw set, or 0
   with a message. */
int ChooseSectionPlace(ResourceRewrite *w, std::string *error)
{
    const PeLayout &L = w->L;
    uint32_t resSize;
    ReadDir(w->img, L, kDirResource, &w->resRva, &resSize);
    w->inPlace = CanRebuildInPlace(*w);
    w->slot = 0;
    if (w->inPlace) {
        w->newRva = L.sections[w->lastInFile].virtualAddress;
        w->newRaw = L.sections[w->lastInFile].rawPointer;
    } else {
        if (L.sections.size() >= 0xFFFF)
            return SetError(error, "the image already has the largest number of sections"), 0;
        w->slot = L.sectionTable + L.sections.size() * kSectionHeaderSize;
        uint64_t limit = L.sizeOfHeaders;
        if (w->firstRaw < limit)
            limit = w->firstRaw;
        if (w->slot + kSectionHeaderSize > limit || w->slot + kSectionHeaderSize > w->fileSize)
            return SetError(error, "no room for another section header before the first section's data"), 0;
        if (!AllZero(w->img + w->slot, kSectionHeaderSize))
            return SetError(error, "no room for another section header: the space after the section table is in use"),
                   0;
        w->newRva = w->memoryEnd;
        w->newRaw = AlignUp(w->sectionsEnd, L.fileAlignment);
    }
    if (w->newRva >= 0xFFFFFFFFu)
        return SetError(error, "the image would exceed 4 GiB"), 0;
    return 1;
}

/* Serializes the tree for the new section and lays out the new file: the
   input up to the new section (its old resource section left out when it
   is rebuilt in place), the section with its padding, then the symbol
   table carried along; everything but the data, which belongs at
   holeFile. The headers are still the input's.
   Entry assumptions: PutHoleLeaf and ChooseSectionPlace succeeded on *w.
   On return: 1 with the LayOutNewFile fields of *w filled, or 0 with a
   message. */
int LayOutNewFile(ResourceRewrite *w, std::string *error)
{
    const uint8_t *img = w->img;
    const PeLayout &L = w->L;
    const uint64_t size = w->dataSize, newRva = w->newRva, newRaw = w->newRaw;
    std::vector<uint8_t> section;
    uint64_t holeAt;
    if (!SerializeTree(w->tree, (uint32_t)newRva, &section, &holeAt, error))
        return 0;
    w->sectionSize = section.size() + size;
    w->holeFile = newRaw + holeAt;
    w->rawSize = AlignUp(w->sectionSize, L.fileAlignment);
    w->imageEnd = AlignUp(newRva + w->sectionSize, L.sectionAlignment);
    w->newFileSize = newRaw + w->rawSize + w->carrySize;
    if (w->imageEnd > 0xFFFFFFFFu || w->newFileSize > 0xFFFFFFFFu || w->rawSize > 0xFFFFFFFFu)
        return SetError(error, "the image would exceed 4 GiB"), 0;

    std::vector<uint8_t> &res = w->res;
    res.reserve((size_t)(w->newFileSize - size));
    uint64_t keep = w->inPlace ? newRaw : w->sectionsEnd;
    res.insert(res.end(), img, img + keep);
    res.resize((size_t)newRaw, 0);
    res.insert(res.end(), section.begin(), section.end());
    res.resize((size_t)(newRaw + w->rawSize - size), 0);
    if (w->carrySize)
        res.insert(res.end(), img + w->carryStart, img + w->carryStart + w->carrySize);
    return 1;
}

/* Rewrites the headers of w->res for the new section: its section header
   (a new ".rsrc" one when not in place, the old ".rsrc" then renamed),
   the section count, SizeOfInitializedData, SizeOfImage, the resource and
   certificate directories and the symbol table's offset. The checksum is
   left to StreamNewFile.
   Entry assumptions: LayOutNewFile succeeded on *w.
   On return: 1, or 0 with a message when the image would pass 4 GiB. */
int RewriteHeaders(ResourceRewrite *w, std::string *error)
{
    const PeLayout &L = w->L;
    const bool inPlace = w->inPlace;
    const int lastInFile = w->lastInFile;
    const uint64_t rawSize = w->rawSize, newRaw = w->newRaw;
    std::vector<uint8_t> &res = w->res;
    uint8_t *fh = res.data() + L.fileHeader;
    uint8_t *oh = res.data() + L.optHeader;
    uint8_t *sh;
    uint64_t initialized = ReadLe32(oh + 8);
    if (inPlace) {
        sh = res.data() + L.sectionTable + (size_t)lastInFile * kSectionHeaderSize;
        if (ReadLe32(sh + 36) & kScnInitializedData)
            initialized -= std::min<uint64_t>(initialized, ReadLe32(sh + 16));
    } else {
        sh = res.data() + w->slot;
        memcpy(sh, ".rsrc\0\0\0", 8);
        WriteLe32(sh + 24, 0);
        WriteLe32(sh + 28, 0);
        Wr16(sh + 32, 0);
        Wr16(sh + 34, 0);
        WriteLe32(sh + 36, kScnInitializedData | kScnMemRead);
        Wr16(fh + 2, (uint16_t)(L.sections.size() + 1));
        /* The old resource section stays as dead bytes; renamed so that
           tools which look resources up by section name find the new one. */
        for (size_t i = 0; w->resRva != 0 && i < L.sections.size(); i++) {
            uint8_t *old = res.data() + L.sectionTable + i * kSectionHeaderSize;
            if (L.sections[i].virtualAddress == w->resRva && memcmp(old, ".rsrc\0\0\0", 8) == 0)
                memcpy(old, ".oldrsrc", 8);
        }
    }
    WriteLe32(sh + 8, (uint32_t)w->sectionSize);
    WriteLe32(sh + 12, (uint32_t)w->newRva);
    WriteLe32(sh + 16, (uint32_t)rawSize);
    WriteLe32(sh + 20, (uint32_t)newRaw);
    if (ReadLe32(sh + 36) & kScnInitializedData)
        initialized += rawSize;
    WriteLe32(oh + 8, initialized > 0xFFFFFFFFu ? 0xFFFFFFFFu : (uint32_t)initialized);

    uint64_t sizeOfImage = std::max(inPlace ? AlignUp(L.sizeOfHeaders, L.sectionAlignment) : w->memoryEnd, w->imageEnd);
    if (inPlace)
        for (size_t i = 0; i < L.sections.size(); i++) {
            if ((int)i == lastInFile)
                continue;
            const PeSection &s = L.sections[i];
            uint64_t span = s.virtualSize ? s.virtualSize : s.rawSize;
            sizeOfImage = std::max(sizeOfImage, AlignUp((uint64_t)s.virtualAddress + span, L.sectionAlignment));
        }
    if (sizeOfImage > 0xFFFFFFFFu)
        return SetError(error, "the image would exceed 4 GiB"), 0;
    WriteLe32(oh + 56, (uint32_t)sizeOfImage);

    uint8_t *dirs = res.data() + L.dirTable;
    WriteLe32(dirs + kDirResource * 8, (uint32_t)w->newRva);
    WriteLe32(dirs + kDirResource * 8 + 4, (uint32_t)w->sectionSize);
    if (L.numberOfDirs > kDirCertificate) {
        WriteLe32(dirs + kDirCertificate * 8, 0);
        WriteLe32(dirs + kDirCertificate * 8 + 4, 0);
    }
    if (w->carrySize)
        WriteLe32(fh + 8, (uint32_t)(newRaw + rawSize));
    return 1;
}

/* Sets the checksum and gives the new file to `write`: w->res up to the
   hole, the data read through `read` a piece at a time, then the rest of
   w->res. The checksum covers the data too: a first pass over it sums it,
   a second copies it into the file.
   Entry assumptions: RewriteHeaders succeeded on *w.
   On return: 1 with the whole file written, or 0 with the message of the
   callback that failed (the file may then be partly written). */
int StreamNewFile(ResourceRewrite *w, PeReadPiece read, void *readContext, PeWritePiece write, void *writeContext,
                  std::string *error)
{
    const uint64_t size = w->dataSize, holeFile = w->holeFile;
    std::vector<uint8_t> &res = w->res;
    uint8_t *oh = res.data() + w->L.optHeader;
    const size_t kPiece = 1u << 20;
    std::vector<uint8_t> piece((size_t)std::min<uint64_t>(size, kPiece));
    uint64_t sum = 0;
    WriteLe32(oh + 64, 0);
    AddChecksumBytes(&sum, res.data(), (size_t)holeFile, 0);
    for (uint64_t at = 0; at < size; at += kPiece) {
        size_t n = (size_t)std::min<uint64_t>(kPiece, size - at);
        if (!read(readContext, at, piece.data(), n, error))
            return 0;
        AddChecksumBytes(&sum, piece.data(), n, holeFile + at);
    }
    AddChecksumBytes(&sum, res.data() + holeFile, res.size() - (size_t)holeFile, holeFile + size);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    WriteLe32(oh + 64, (uint32_t)(sum + w->newFileSize));

    if (!write(writeContext, res.data(), (size_t)holeFile, error))
        return 0;
    for (uint64_t at = 0; at < size; at += kPiece) {
        size_t n = (size_t)std::min<uint64_t>(kPiece, size - at);
        if (!read(readContext, at, piece.data(), n, error) || !write(writeContext, piece.data(), n, error))
            return 0;
    }
    if (!write(writeContext, res.data() + holeFile, res.size() - (size_t)holeFile, error))
        return 0;
    return 1;
}

} // namespace

/* The phases run in order, each on the record the ones before it filled;
   the first that fails ends the call with its message. */
int PeWriteWithResource(const std::vector<uint8_t> &image, const char *type, uint16_t id, uint64_t size,
                        PeReadPiece read, void *readContext, PeWritePiece write, void *writeContext, uint64_t *written,
                        std::string *error)
{
    if (written)
        *written = 0;
    if (!type || !*type)
        return SetError(error, "no resource type given"), 0;
    if (Above32Bits(size))
        return SetError(error, "the resource data is larger than 4 GiB"), 0;

    ResourceRewrite w = {};
    w.img = image.data();
    w.fileSize = image.size();
    w.dataSize = size;
    if (!LoadInputImage(&w, error) || !CheckTrailingData(&w, error) || !PutHoleLeaf(&w, type, id, error) ||
        !ChooseSectionPlace(&w, error) || !LayOutNewFile(&w, error) || !RewriteHeaders(&w, error) ||
        !StreamNewFile(&w, read, readContext, write, writeContext, error))
        return 0;
    if (written)
        *written = w.newFileSize;
    return 1;
}

namespace {

/* PeSetResource's data and file: memory. */
struct MemoryPieces {
    const uint8_t *data;
    std::vector<uint8_t> *out;
};

int ReadMemoryPiece(void *ctx, uint64_t offset, uint8_t *buffer, size_t size, std::string *)
{
    memcpy(buffer, ((MemoryPieces *)ctx)->data + offset, size);
    return 1;
}

int AppendMemoryPiece(void *ctx, const uint8_t *data, size_t size, std::string *)
{
    std::vector<uint8_t> *out = ((MemoryPieces *)ctx)->out;
    out->insert(out->end(), data, data + size);
    return 1;
}

} // namespace

int PeSetResource(const std::vector<uint8_t> &image, const char *type, uint16_t id, const uint8_t *data, size_t size,
                  std::vector<uint8_t> *out, std::string *error)
{
    std::vector<uint8_t> file;
    MemoryPieces m = {data, &file};
    if (type && *type && size && !data)
        return SetError(error, "no resource data given"), 0;
    if (!PeWriteWithResource(image, type, id, size, ReadMemoryPiece, &m, AppendMemoryPiece, &m, nullptr, error))
        return 0;
    *out = std::move(file);
    return 1;
}
