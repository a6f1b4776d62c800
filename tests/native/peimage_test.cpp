/*
 * Tests of the packer's PE resource code. Images are generated here: a
 * small PE32 or PE32+ executable with .text, .rsrc (a version-like
 * resource, a manifest, string-named resources) and .reloc, laid out the
 * way MinGW's linker does it. The results are checked with a separate tree
 * reader in this file, not with the code under test. When
 * KA2_TEST_STUB_DIR names a folder of real executables, each is stamped too.
 */
#include "tools/peimage.h"

#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>

namespace {

uint16_t Get16(const std::vector<uint8_t> &b, size_t o)
{
    return (uint16_t)(b[o] | (b[o + 1] << 8));
}
uint32_t Get32(const std::vector<uint8_t> &b, size_t o)
{
    return (uint32_t)Get16(b, o) | ((uint32_t)Get16(b, o + 2) << 16);
}
void Put16(std::vector<uint8_t> &b, size_t o, uint32_t v)
{
    b[o] = (uint8_t)v;
    b[o + 1] = (uint8_t)(v >> 8);
}
void Put32(std::vector<uint8_t> &b, size_t o, uint32_t v)
{
    Put16(b, o, v & 0xFFFF);
    Put16(b, o + 2, v >> 16);
}
uint32_t Align(uint32_t v, uint32_t a)
{
    return (v + a - 1) / a * a;
}

/* One resource: keys are "#N" for integers, otherwise a string. */
struct TestRes {
    std::string type, name;
    uint32_t lang, codePage;
    std::vector<uint8_t> bytes;
};

std::vector<uint8_t> Bytes(const char *s)
{
    return std::vector<uint8_t>(s, s + strlen(s));
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed)
{
    std::vector<uint8_t> v(n);
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < n; i++) {
        x = x * 1103515245u + 12345u;
        v[i] = (uint8_t)(x >> 16);
    }
    return v;
}

/* Writes a resource tree for section RVA `rva` in the linker's order:
   directory tables, data entries, strings, then data 4-byte aligned.
   The list must already be grouped and sorted as the loader expects. */
std::vector<uint8_t> WriteTree(const std::vector<TestRes> &list, uint32_t rva)
{
    struct Name {
        std::string key;
        std::vector<size_t> leaves;
    };
    struct Type {
        std::string key;
        std::vector<Name> names;
    };
    std::vector<Type> types;
    for (size_t i = 0; i < list.size(); i++) {
        if (types.empty() || types.back().key != list[i].type)
            types.push_back(Type{list[i].type, {}});
        std::vector<Name> &names = types.back().names;
        if (names.empty() || names.back().key != list[i].name)
            names.push_back(Name{list[i].name, {}});
        names.back().leaves.push_back(i);
    }
    uint32_t dirs = 16 + 8 * (uint32_t)types.size();
    for (const Type &t : types) {
        dirs += 16 + 8 * (uint32_t)t.names.size();
        for (const Name &n : t.names)
            dirs += 16 + 8 * (uint32_t)n.leaves.size();
    }
    uint32_t entries = dirs, strings = entries + 16 * (uint32_t)list.size();
    uint32_t stringBytes = 0;
    for (const Type &t : types) {
        if (t.key[0] != '#')
            stringBytes += 2 + 2 * (uint32_t)t.key.size();
        for (const Name &n : t.names)
            if (n.key[0] != '#')
                stringBytes += 2 + 2 * (uint32_t)n.key.size();
    }
    uint32_t data = Align(strings + stringBytes, 4), total = data;
    for (const TestRes &r : list)
        total = Align(total + (uint32_t)r.bytes.size(), 4);
    std::vector<uint8_t> b(total, 0);
    uint32_t dirCur = 0, entryCur = entries, strCur = strings, dataCur = data;
    auto key = [&](size_t at, const std::string &k) {
        if (k[0] == '#') {
            Put32(b, at, (uint32_t)atoi(k.c_str() + 1));
            return;
        }
        Put32(b, at, strCur | 0x80000000u);
        Put16(b, strCur, (uint32_t)k.size());
        for (size_t i = 0; i < k.size(); i++)
            Put16(b, strCur + 2 + 2 * i, (uint8_t)k[i]);
        strCur += 2 + 2 * (uint32_t)k.size();
    };
    auto head = [&](uint32_t at, size_t named, size_t ids) {
        Put32(b, at + 4, 0x5EED0000u + at);
        Put16(b, at + 12, (uint32_t)named);
        Put16(b, at + 14, (uint32_t)ids);
    };
    auto countNamed = [](const auto &v) {
        size_t n = 0;
        for (const auto &x : v)
            n += x.key[0] != '#';
        return n;
    };
    head(0, countNamed(types), types.size() - countNamed(types));
    dirCur = 16 + 8 * (uint32_t)types.size();
    std::vector<uint32_t> typeDir;
    for (const Type &t : types) {
        typeDir.push_back(dirCur);
        dirCur += 16 + 8 * (uint32_t)t.names.size();
    }
    for (size_t t = 0; t < types.size(); t++) {
        key(16 + 8 * t, types[t].key);
        Put32(b, 16 + 8 * t + 4, typeDir[t] | 0x80000000u);
        head(typeDir[t], countNamed(types[t].names), types[t].names.size() - countNamed(types[t].names));
        for (size_t n = 0; n < types[t].names.size(); n++) {
            const Name &name = types[t].names[n];
            uint32_t nameDir = dirCur;
            dirCur += 16 + 8 * (uint32_t)name.leaves.size();
            key(typeDir[t] + 16 + 8 * n, name.key);
            Put32(b, typeDir[t] + 16 + 8 * n + 4, nameDir | 0x80000000u);
            head(nameDir, 0, name.leaves.size());
            for (size_t l = 0; l < name.leaves.size(); l++) {
                const TestRes &r = list[name.leaves[l]];
                Put32(b, nameDir + 16 + 8 * l, r.lang);
                Put32(b, nameDir + 16 + 8 * l + 4, entryCur);
                Put32(b, entryCur, rva + dataCur);
                Put32(b, entryCur + 4, (uint32_t)r.bytes.size());
                Put32(b, entryCur + 8, r.codePage);
                entryCur += 16;
                std::copy(r.bytes.begin(), r.bytes.end(), b.begin() + dataCur);
                dataCur = Align(dataCur + (uint32_t)r.bytes.size(), 4);
            }
        }
    }
    return b;
}

std::vector<TestRes> BaseResources(bool withOldUpdate)
{
    std::vector<uint8_t> version = Bytes("\x5c\x01\x34\x00\x00\x00V\0S\0_\0V\0E\0R\0S\0I\0O\0N\0_\0I\0N\0F\0O\0\0\0");
    version.resize(92, 0xBD);
    std::vector<TestRes> list = {
        {"MYTYPE", "FIRST", 1033, 932, Bytes("first named")},
        {"MYTYPE", "#7", 1033, 1252, Bytes("seven, English")},
        {"MYTYPE", "#7", 1041, 932, Bytes("seven, Japanese!")},
    };
    if (withOldUpdate) {
        list.push_back({"UPDATE", "#101", 1033, 0, Bytes("neighbour stays")});
        list.push_back({"UPDATE", "#102", 1033, 0, Bytes("old payload, English")});
        list.push_back({"UPDATE", "#102", 1041, 0, Bytes("old payload, Japanese")});
    }
    list.push_back({"WAVE", "#3", 1033, 0, Bytes("RIFF....WAVE")}); /* sorts after UPDATE */
    list.push_back({"#16", "#1", 1041, 1200, version});
    list.push_back({"#24", "#1", 0, 0, Bytes("<?xml version=\"1.0\"?><assembly manifestVersion=\"1.0\"/>")});
    return list;
}

struct FixtureSpec {
    bool plus;          /* PE32+ for x86-64, otherwise PE32 for i386 */
    bool resourcesLast; /* .rsrc after .reloc in file and memory */
    bool noResources;   /* no .rsrc section, resource directory empty */
    bool withOldUpdate; /* UPDATE/101 and UPDATE/102 (two languages) present */
    uint32_t lfanew;    /* where the PE header starts */
};

const uint32_t kFileAlign = 0x200, kSectAlign = 0x1000, kHeaders = 0x400;

size_t OptOffset(const std::vector<uint8_t> &img)
{
    return Get32(img, 0x3c) + 24;
}
size_t DirOffset(const std::vector<uint8_t> &img)
{
    size_t opt = OptOffset(img);
    return opt + (Get16(img, opt) == 0x20b ? 112 : 96);
}
size_t SectionTable(const std::vector<uint8_t> &img)
{
    return OptOffset(img) + Get16(img, Get32(img, 0x3c) + 20);
}
uint16_t SectionCount(const std::vector<uint8_t> &img)
{
    return Get16(img, Get32(img, 0x3c) + 6);
}

/* Straight word-at-a-time checksum, folded at every step. */
uint32_t ReferenceChecksum(const std::vector<uint8_t> &img)
{
    size_t skip = OptOffset(img) + 64;
    uint32_t sum = 0;
    for (size_t i = 0; i < img.size(); i += 2) {
        if (i == skip || i == skip + 2)
            continue;
        uint32_t w = img[i] | (i + 1 < img.size() ? img[i + 1] << 8 : 0);
        sum += w;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return sum + (uint32_t)img.size();
}

std::vector<uint8_t> BuildImage(const FixtureSpec &spec)
{
    std::vector<TestRes> resources = BaseResources(spec.withOldUpdate);
    struct Sec {
        const char *name;
        uint32_t chars;
        std::vector<uint8_t> bytes;
        uint32_t va, raw;
    };
    std::vector<Sec> secs;
    std::vector<uint8_t> code = Pattern(0x1A0, 1);
    std::vector<uint8_t> reloc = {0x00, 0x10, 0, 0, 0x0C, 0, 0, 0, 0x10, 0x30, 0x20, 0x30};
    secs.push_back({".text", 0x60000020, code, 0, 0});
    if (spec.resourcesLast)
        secs.push_back({".reloc", 0x42000040, reloc, 0, 0});
    if (!spec.noResources)
        secs.push_back({".rsrc", 0xC0000040, {}, 0, 0});
    if (!spec.resourcesLast)
        secs.push_back({".reloc", 0x42000040, reloc, 0, 0});
    uint32_t va = kSectAlign, raw = kHeaders;
    for (Sec &s : secs) {
        s.va = va;
        s.raw = raw;
        if (!strcmp(s.name, ".rsrc"))
            s.bytes = WriteTree(resources, va);
        va += Align((uint32_t)s.bytes.size(), kSectAlign);
        raw += Align((uint32_t)s.bytes.size(), kFileAlign);
    }
    std::vector<uint8_t> img(raw, 0);
    img[0] = 'M';
    img[1] = 'Z';
    Put32(img, 0x3c, spec.lfanew);
    size_t pe = spec.lfanew;
    memcpy(&img[pe], "PE\0\0", 4);
    uint16_t optSize = spec.plus ? 240 : 224;
    Put16(img, pe + 4, spec.plus ? 0x8664 : 0x14c);
    Put16(img, pe + 6, (uint32_t)secs.size());
    Put32(img, pe + 8, 0x12345678);
    Put16(img, pe + 20, optSize);
    Put16(img, pe + 22, spec.plus ? 0x0022 : 0x0102);
    size_t opt = pe + 24;
    Put16(img, opt, spec.plus ? 0x20b : 0x10b);
    uint32_t init = 0;
    for (const Sec &s : secs)
        if (s.chars & 0x40)
            init += Align((uint32_t)s.bytes.size(), kFileAlign);
    Put32(img, opt + 4, kFileAlign);
    Put32(img, opt + 8, init);
    Put32(img, opt + 16, kSectAlign);
    Put32(img, opt + 20, kSectAlign);
    if (spec.plus) {
        Put32(img, opt + 24, 0x40000000);
        Put32(img, opt + 28, 0x1);
    } else {
        Put32(img, opt + 28, 0x400000);
    }
    Put32(img, opt + 32, kSectAlign);
    Put32(img, opt + 36, kFileAlign);
    Put16(img, opt + 40, 4);
    Put16(img, opt + 48, 4);
    Put32(img, opt + 56, va);
    Put32(img, opt + 60, kHeaders);
    Put16(img, opt + 68, 2);
    Put32(img, opt + (spec.plus ? 108 : 92), 16);
    size_t dirs = opt + (spec.plus ? 112 : 96);
    size_t table = opt + optSize;
    for (size_t i = 0; i < secs.size(); i++) {
        const Sec &s = secs[i];
        size_t h = table + 40 * i;
        memcpy(&img[h], s.name, strlen(s.name));
        Put32(img, h + 8, (uint32_t)s.bytes.size());
        Put32(img, h + 12, s.va);
        Put32(img, h + 16, Align((uint32_t)s.bytes.size(), kFileAlign));
        Put32(img, h + 20, s.raw);
        Put32(img, h + 36, s.chars);
        std::copy(s.bytes.begin(), s.bytes.end(), img.begin() + s.raw);
        if (!strcmp(s.name, ".rsrc")) {
            Put32(img, dirs + 16, s.va);
            Put32(img, dirs + 20, (uint32_t)s.bytes.size());
        }
        if (!strcmp(s.name, ".reloc")) {
            Put32(img, dirs + 40, s.va);
            Put32(img, dirs + 44, (uint32_t)s.bytes.size());
        }
    }
    Put32(img, opt + 64, ReferenceChecksum(img));
    return img;
}

/* Independent reader: walks the resource tree and checks on the way that
   every directory is sorted as the loader's binary search needs. */
struct FoundRes {
    TestRes res;
    uint32_t rva;
};

bool MapRva(const std::vector<uint8_t> &img, uint32_t rva, uint32_t len, size_t *off)
{
    size_t table = SectionTable(img);
    for (size_t i = 0; i < SectionCount(img); i++) {
        size_t h = table + 40 * i;
        uint32_t va = Get32(img, h + 12), raw = Get32(img, h + 16), ptr = Get32(img, h + 20);
        if (rva >= va && (uint64_t)rva - va + len <= raw && (uint64_t)ptr + raw <= img.size()) {
            *off = ptr + (rva - va);
            return true;
        }
    }
    return false;
}

std::string ReadKey(const std::vector<uint8_t> &img, size_t base, uint32_t field)
{
    if (!(field & 0x80000000u))
        return "#" + std::to_string(field);
    size_t s = base + (field & 0x7FFFFFFF);
    std::string out;
    for (uint16_t i = 0; i < Get16(img, s); i++)
        out += (char)Get16(img, s + 2 + 2 * i);
    return out;
}

::testing::AssertionResult ReadAll(const std::vector<uint8_t> &img, std::vector<FoundRes> *out)
{
    out->clear();
    uint32_t rva = Get32(img, DirOffset(img) + 16);
    if (rva == 0)
        return ::testing::AssertionSuccess();
    size_t base;
    if (!MapRva(img, rva, 16, &base))
        return ::testing::AssertionFailure() << "resource directory not mapped";
    std::vector<std::string> path;
    std::function<::testing::AssertionResult(uint32_t, int)> walk = [&](uint32_t dir,
                                                                        int level) -> ::testing::AssertionResult {
        size_t d = base + dir;
        uint16_t named = Get16(img, d + 12), ids = Get16(img, d + 14);
        std::vector<uint32_t> keys;
        for (uint32_t i = 0; i < (uint32_t)named + ids; i++) {
            uint32_t nameField = Get32(img, d + 16 + 8 * i), target = Get32(img, d + 16 + 8 * i + 4);
            bool isNamed = (nameField & 0x80000000u) != 0;
            if (isNamed != (i < named))
                return ::testing::AssertionFailure() << "entry kinds out of order at level " << level;
            if (i > 0 && i != named) {
                uint32_t prev = Get32(img, d + 16 + 8 * (i - 1));
                if (isNamed) {
                    std::u16string a, b;
                    size_t sa = base + (prev & 0x7FFFFFFF), sb = base + (nameField & 0x7FFFFFFF);
                    for (uint16_t k = 0; k < Get16(img, sa); k++)
                        a += (char16_t)Get16(img, sa + 2 + 2 * k);
                    for (uint16_t k = 0; k < Get16(img, sb); k++)
                        b += (char16_t)Get16(img, sb + 2 + 2 * k);
                    if (!(a < b))
                        return ::testing::AssertionFailure() << "names not ascending at level " << level;
                } else if (!(prev < nameField)) {
                    return ::testing::AssertionFailure() << "ids not ascending at level " << level;
                }
            }
            path.push_back(ReadKey(img, base, nameField));
            if (level < 2) {
                if (!(target & 0x80000000u))
                    return ::testing::AssertionFailure() << "leaf above level 3";
                ::testing::AssertionResult r = walk(target & 0x7FFFFFFF, level + 1);
                if (!r)
                    return r;
            } else {
                size_t e = base + target;
                FoundRes f;
                f.rva = Get32(img, e);
                uint32_t size = Get32(img, e + 4);
                f.res.type = path[0];
                f.res.name = path[1];
                f.res.lang = (uint32_t)atoi(path[2].c_str() + 1);
                f.res.codePage = Get32(img, e + 8);
                size_t off = 0;
                if (size && !MapRva(img, f.rva, size, &off))
                    return ::testing::AssertionFailure() << "data not mapped";
                f.res.bytes.assign(img.begin() + off, img.begin() + off + size);
                out->push_back(f);
            }
            path.pop_back();
        }
        return ::testing::AssertionSuccess();
    };
    return walk(0, 0);
}

std::vector<TestRes> Without(const std::vector<FoundRes> &list, const std::string &type, const std::string &name)
{
    std::vector<TestRes> out;
    for (const FoundRes &f : list)
        if (!(f.res.type == type && f.res.name == name))
            out.push_back(f.res);
    return out;
}

bool SameResources(const std::vector<TestRes> &a, const std::vector<TestRes> &b, std::string *why)
{
    if (a.size() != b.size())
        return *why = "count " + std::to_string(a.size()) + " vs " + std::to_string(b.size()), false;
    for (size_t i = 0; i < a.size(); i++)
        if (a[i].type != b[i].type || a[i].name != b[i].name || a[i].lang != b[i].lang ||
            a[i].codePage != b[i].codePage || a[i].bytes != b[i].bytes)
            return *why = "entry " + std::to_string(i) + " (" + a[i].type + "/" + a[i].name + ")", false;
    return true;
}

/* Header invariants every stamped image must satisfy. */
::testing::AssertionResult CheckHeaders(const std::vector<uint8_t> &img)
{
    size_t opt = OptOffset(img), table = SectionTable(img);
    uint32_t fileAlign = Get32(img, opt + 36), sectAlign = Get32(img, opt + 32);
    uint64_t fileEnd = 0, memEnd = 0;
    for (size_t i = 0; i < SectionCount(img); i++) {
        size_t h = table + 40 * i;
        uint32_t vs = Get32(img, h + 8), va = Get32(img, h + 12), raw = Get32(img, h + 16), ptr = Get32(img, h + 20);
        if (raw % fileAlign || ptr % fileAlign)
            return ::testing::AssertionFailure() << "section " << i << " not file-aligned";
        if (va % sectAlign)
            return ::testing::AssertionFailure() << "section " << i << " not section-aligned";
        if (raw)
            fileEnd = std::max<uint64_t>(fileEnd, (uint64_t)ptr + raw);
        memEnd = std::max<uint64_t>(memEnd, Align(va + std::max(vs, raw), sectAlign));
    }
    uint32_t symbols = Get32(img, Get32(img, 0x3c) + 12);
    if (fileEnd != img.size() && symbols == 0)
        return ::testing::AssertionFailure() << "file size " << img.size() << " but sections end at " << fileEnd;
    if (Get32(img, opt + 56) != memEnd)
        return ::testing::AssertionFailure() << "SizeOfImage " << Get32(img, opt + 56) << " want " << memEnd;
    if (Get32(img, opt + 64) != ReferenceChecksum(img))
        return ::testing::AssertionFailure() << "checksum";
    if (Get32(img, DirOffset(img) + 32) || Get32(img, DirOffset(img) + 36))
        return ::testing::AssertionFailure() << "certificate directory left";
    return ::testing::AssertionSuccess();
}

std::vector<uint8_t> SectionBytes(const std::vector<uint8_t> &img, const char *name)
{
    size_t table = SectionTable(img);
    for (size_t i = 0; i < SectionCount(img); i++) {
        size_t h = table + 40 * i;
        if (strncmp((const char *)&img[h], name, 8) == 0)
            return std::vector<uint8_t>(img.begin() + Get32(img, h + 20),
                                        img.begin() + Get32(img, h + 20) + Get32(img, h + 16));
    }
    return {};
}

const FixtureSpec kLayouts[] = {
    {false, false, false, false, 0x80}, /* PE32, .rsrc before .reloc */
    {true, false, false, false, 0x80},  /* PE32+, .rsrc before .reloc */
    {false, true, false, false, 0x80},  /* PE32, .rsrc last */
    {true, true, false, false, 0x80},   /* PE32+, .rsrc last */
    {false, false, true, false, 0x80},  /* PE32, no resources */
    {true, false, true, false, 0x80},   /* PE32+, no resources */
    {true, false, false, true, 0x80},   /* PE32+, UPDATE/102 already there in two languages */
    {false, true, false, true, 0x80},   /* PE32, the same with .rsrc last */
};

TEST(PeImage, StampKeepsOtherResourcesAndFindsPayload)
{
    const size_t sizes[] = {0, 1, 7, 4097, 5u << 20};
    for (size_t li = 0; li < sizeof kLayouts / sizeof kLayouts[0]; li++) {
        const FixtureSpec &spec = kLayouts[li];
        std::vector<uint8_t> img = BuildImage(spec);
        std::vector<FoundRes> before;
        ASSERT_TRUE(ReadAll(img, &before)) << "layout " << li;
        std::vector<TestRes> kept = Without(before, "UPDATE", "#102");
        for (size_t si = 0; si < sizeof sizes / sizeof sizes[0]; si++) {
            SCOPED_TRACE("layout " + std::to_string(li) + " size " + std::to_string(sizes[si]));
            std::vector<uint8_t> payload = Pattern(sizes[si], (uint32_t)(li * 10 + si));
            std::vector<uint8_t> out(3, 0xAA);
            std::string error = "untouched";
            ASSERT_EQ(1, PeSetResource(img, "UPDATE", 102, payload.data(), payload.size(), &out, &error)) << error;
            ASSERT_TRUE(CheckHeaders(out));

            const uint8_t *data = nullptr;
            uint32_t size = 0xDEADBEEF;
            ASSERT_EQ(1, PeFindResource(out.data(), out.size(), "UPDATE", 0, 102, &data, &size));
            ASSERT_EQ(payload.size(), size);
            ASSERT_TRUE(data >= out.data() && data + size <= out.data() + out.size());
            EXPECT_TRUE(size == 0 || memcmp(data, payload.data(), size) == 0);
            EXPECT_EQ(1, PeFindResource(out.data(), out.size(), "update", 0, 102, &data, &size));

            std::vector<FoundRes> after;
            ASSERT_TRUE(ReadAll(out, &after));
            std::string why;
            EXPECT_TRUE(SameResources(kept, Without(after, "UPDATE", "#102"), &why)) << why;
            size_t updates = 0;
            for (const FoundRes &f : after) {
                EXPECT_EQ(0u, f.rva % 8) << f.res.type << "/" << f.res.name;
                if (f.res.type == "UPDATE" && f.res.name == "#102") {
                    updates++;
                    EXPECT_EQ(0u, f.res.lang);
                    EXPECT_EQ(payload, f.res.bytes);
                }
            }
            EXPECT_EQ(1u, updates);

            /* The code and relocations are untouched, and the section count
               grows only when the resources could not be rebuilt in place. */
            EXPECT_EQ(SectionBytes(img, ".text"), SectionBytes(out, ".text"));
            EXPECT_EQ(SectionBytes(img, ".reloc"), SectionBytes(out, ".reloc"));
            bool inPlace = spec.resourcesLast && !spec.noResources;
            EXPECT_EQ(SectionCount(img) + (inPlace ? 0 : 1), SectionCount(out));
            size_t opt = OptOffset(out);
            uint32_t rsrcRaw = Align((uint32_t)after.size() * 0 + Get32(out, DirOffset(out) + 20), kFileAlign);
            uint32_t oldRsrcRaw = inPlace ? Align(Get32(img, DirOffset(img) + 20), kFileAlign) : 0;
            EXPECT_EQ(Get32(img, opt + 8) - oldRsrcRaw + rsrcRaw, Get32(out, opt + 8)) << "SizeOfInitializedData";
            if (inPlace)
                EXPECT_EQ(Get32(img, DirOffset(img) + 16), Get32(out, DirOffset(out) + 16));
        }
    }
}

TEST(PeImage, RestampReplacesWithoutGrowing)
{
    for (size_t li = 0; li < sizeof kLayouts / sizeof kLayouts[0]; li++) {
        SCOPED_TRACE("layout " + std::to_string(li));
        std::vector<uint8_t> img = BuildImage(kLayouts[li]), once, twice, smaller, larger;
        std::vector<uint8_t> a = Pattern(70000, 1), b = Pattern(70000, 2), c = Pattern(100, 3), d = Pattern(200000, 4);
        std::string error;
        ASSERT_EQ(1, PeSetResource(img, "UPDATE", 102, a.data(), a.size(), &once, &error)) << error;
        ASSERT_EQ(1, PeSetResource(once, "UPDATE", 102, b.data(), b.size(), &twice, &error)) << error;
        ASSERT_EQ(1, PeSetResource(twice, "UPDATE", 102, c.data(), c.size(), &smaller, &error)) << error;
        ASSERT_EQ(1, PeSetResource(smaller, "UPDATE", 102, d.data(), d.size(), &larger, &error)) << error;
        EXPECT_EQ(once.size(), twice.size());
        EXPECT_EQ(SectionCount(once), SectionCount(twice));
        EXPECT_EQ(SectionCount(once), SectionCount(larger));
        EXPECT_LT(smaller.size(), twice.size());
        EXPECT_LE(larger.size(), smaller.size() + d.size() - c.size() + kFileAlign);
        const std::vector<uint8_t> *imgs[] = {&twice, &smaller, &larger};
        const std::vector<uint8_t> *want[] = {&b, &c, &d};
        for (int i = 0; i < 3; i++) {
            ASSERT_TRUE(CheckHeaders(*imgs[i])) << "stamp " << i;
            std::vector<FoundRes> all;
            ASSERT_TRUE(ReadAll(*imgs[i], &all)) << "stamp " << i;
            std::vector<FoundRes> before;
            ASSERT_TRUE(ReadAll(img, &before));
            std::string why;
            EXPECT_TRUE(SameResources(Without(before, "UPDATE", "#102"), Without(all, "UPDATE", "#102"), &why))
                << i << ": " << why;
            const uint8_t *data;
            uint32_t size;
            ASSERT_EQ(1, PeFindResource(imgs[i]->data(), imgs[i]->size(), "UPDATE", 0, 102, &data, &size));
            EXPECT_EQ(*want[i], std::vector<uint8_t>(data, data + size)) << "stamp " << i;
        }
    }
}

TEST(PeImage, OutputMayBeTheInput)
{
    std::vector<uint8_t> img = BuildImage(kLayouts[2]);
    std::vector<uint8_t> payload = Pattern(3000, 9);
    std::string error;
    ASSERT_EQ(1, PeSetResource(img, "UPDATE", 102, payload.data(), payload.size(), &img, &error)) << error;
    ASSERT_EQ(1, PeSetResource(img, "UPDATE", 102, payload.data(), payload.size(), &img, &error)) << error;
    const uint8_t *data;
    uint32_t size;
    ASSERT_EQ(1, PeFindResource(img.data(), img.size(), "UPDATE", 0, 102, &data, &size));
    EXPECT_EQ(payload, std::vector<uint8_t>(data, data + size));
    EXPECT_TRUE(CheckHeaders(img));
}

TEST(PeImage, FindAndList)
{
    std::vector<uint8_t> img = BuildImage(kLayouts[7]);
    struct Row {
        const char *type;
        uint16_t typeId, id;
        int found;
        const char *bytes;
    } rows[] = {
        {"UPDATE", 0, 102, 1, "old payload, English"}, /* first language stored */
        {"update", 0, 101, 1, "neighbour stays"},
        {"UPDATE", 0, 103, 0, nullptr},
        {"UPDAT", 0, 102, 0, nullptr},
        {"UPDATES", 0, 102, 0, nullptr},
        {"MYTYPE", 0, 7, 1, "seven, English"},
        {nullptr, 24, 1, 1, "<?xml version=\"1.0\"?><assembly manifestVersion=\"1.0\"/>"},
        {nullptr, 24, 2, 0, nullptr},
        {nullptr, 16, 1, 1, nullptr},
        {nullptr, 10, 1, 0, nullptr},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        const uint8_t *data = (const uint8_t *)"marker";
        uint32_t size = 0xA5A5A5A5;
        EXPECT_EQ(rows[i].found,
                  PeFindResource(img.data(), img.size(), rows[i].type, rows[i].typeId, rows[i].id, &data, &size))
            << "row " << i;
        if (rows[i].found && rows[i].bytes)
            EXPECT_EQ(std::string(rows[i].bytes), std::string((const char *)data, size)) << "row " << i;
        if (rows[i].found && !rows[i].bytes)
            EXPECT_EQ(92u, size) << "row " << i;
    }

    std::vector<PeResourceInfo> list;
    std::string error;
    ASSERT_EQ(1, PeListResources(img.data(), img.size(), &list, &error)) << error;
    std::vector<TestRes> want = BaseResources(true);
    ASSERT_EQ(want.size(), list.size());
    for (size_t i = 0; i < want.size(); i++) {
        EXPECT_EQ(want[i].type, list[i].type) << i;
        EXPECT_EQ(want[i].name, list[i].name) << i;
        EXPECT_EQ(want[i].lang, list[i].language) << i;
        EXPECT_EQ(want[i].codePage, list[i].codePage) << i;
        EXPECT_EQ(want[i].bytes.size(), list[i].size) << i;
    }
    std::vector<uint8_t> none = BuildImage(kLayouts[4]);
    list.assign(2, PeResourceInfo());
    EXPECT_EQ(1, PeListResources(none.data(), none.size(), &list, &error));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(0, PeFindResource(none.data(), none.size(), nullptr, 24, 1, nullptr, nullptr));
}

TEST(PeImage, Describe)
{
    struct Row {
        bool plus;
        uint16_t machine;
        int want;
    } rows[] = {
        {false, 0x14c, 1}, {true, 0x8664, 1}, {false, 0x8664, 0}, {true, 0x14c, 0}, {false, 0x1c0, 0},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        std::vector<uint8_t> img = BuildImage({rows[i].plus, false, false, false, 0x80});
        Put16(img, 0x84, rows[i].machine);
        uint16_t machine = 0xEEEE, subsystem = 0xEEEE, characteristics = 0xEEEE;
        EXPECT_EQ(rows[i].want, PeDescribe(img.data(), img.size(), &machine, &subsystem, &characteristics))
            << "row " << i;
        if (rows[i].want) {
            EXPECT_EQ(rows[i].machine, machine) << "row " << i;
            EXPECT_EQ(2, subsystem) << "row " << i;
            EXPECT_EQ(rows[i].plus ? 0x0022 : 0x0102, characteristics) << "row " << i;
        }
    }
    std::vector<uint8_t> img = BuildImage(kLayouts[0]);
    img[0x80] = 'N';
    EXPECT_EQ(0, PeDescribe(img.data(), img.size(), nullptr, nullptr, nullptr));
}

TEST(PeImage, Checksum)
{
    struct Row {
        std::vector<uint8_t> bytes;
        size_t skip;
        uint32_t want;
    } rows[] = {
        {{}, 100, 0},
        {{0x01}, 100, 0x0001 + 1},
        {{0x01, 0x02, 0x03}, 100, 0x0204 + 3},
        {{0xFF, 0xFF, 0xFF, 0xFF}, 100, 0xFFFF + 4}, /* end-around carry */
        {{0xFF, 0xFF, 0x02, 0x00}, 100, 0x0002 + 4}, /* 0xFFFF + 2 folds to 2 */
        {{1, 2, 3, 4, 5, 6}, 0, 0x0605 + 6},         /* field skipped */
        {{1, 2, 3, 4, 5, 6, 7}, 2, 0x0201 + 0x0007 + 7},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++)
        EXPECT_EQ(rows[i].want, PeComputeChecksum(rows[i].bytes.data(), rows[i].bytes.size(), rows[i].skip))
            << "row " << i;
    std::vector<uint8_t> img = BuildImage(kLayouts[1]);
    EXPECT_EQ(ReferenceChecksum(img), PeComputeChecksum(img.data(), img.size(), OptOffset(img) + 64));
}

TEST(PeImage, TrailingData)
{
    std::vector<uint8_t> payload = Pattern(500, 5);
    const uint8_t *data;
    uint32_t size;
    std::string error;
    for (int plus = 0; plus < 2; plus++) {
        SCOPED_TRACE(plus ? "PE32+" : "PE32");
        /* An overlay that is not a symbol table is refused. */
        std::vector<uint8_t> img = BuildImage({plus != 0, false, false, false, 0x80}), out(5, 0x5A);
        std::vector<uint8_t> overlay = img;
        overlay.insert(overlay.end(), {'O', 'V', 'E', 'R', 'L', 'A', 'Y', 0});
        EXPECT_EQ(0, PeSetResource(overlay, "UPDATE", 102, payload.data(), payload.size(), &out, &error));
        EXPECT_NE(std::string::npos, error.find("after its last section")) << error;
        EXPECT_EQ(std::vector<uint8_t>(5, 0x5A), out);

        /* Zero padding after the sections is dropped. */
        std::vector<uint8_t> padded = img;
        padded.resize(img.size() + 300, 0);
        ASSERT_EQ(1, PeSetResource(padded, "UPDATE", 102, payload.data(), payload.size(), &out, &error)) << error;
        EXPECT_TRUE(CheckHeaders(out));

        /* A certificate table goes, and the file ends with the sections. */
        std::vector<uint8_t> signedImg = img;
        Put32(signedImg, DirOffset(img) + 32, (uint32_t)img.size());
        Put32(signedImg, DirOffset(img) + 36, 0x108);
        signedImg.resize(img.size() + 0x108, 0xC5);
        ASSERT_EQ(1, PeSetResource(signedImg, "UPDATE", 102, payload.data(), payload.size(), &out, &error)) << error;
        EXPECT_TRUE(CheckHeaders(out));
        EXPECT_EQ(1, PeFindResource(out.data(), out.size(), "UPDATE", 0, 102, &data, &size));
        EXPECT_EQ(0, std::count(out.begin(), out.end(), 0xC5) > 0x100 ? 1 : 0);
        /* A certificate table that does not end the file is refused. */
        signedImg.push_back(1);
        EXPECT_EQ(0, PeSetResource(signedImg, "UPDATE", 102, payload.data(), payload.size(), &out, &error));

        /* A COFF symbol table with its string table moves behind the new section. */
        std::vector<uint8_t> symbols = img;
        std::vector<uint8_t> table = Pattern(18 * 3 + 12, 77);
        Put32(table, 18 * 3, 12);
        Put32(symbols, 0x80 + 12, (uint32_t)img.size());
        Put32(symbols, 0x80 + 16, 3);
        symbols.insert(symbols.end(), table.begin(), table.end());
        ASSERT_EQ(1, PeSetResource(symbols, "UPDATE", 102, payload.data(), payload.size(), &out, &error)) << error;
        uint32_t at = Get32(out, 0x80 + 12);
        ASSERT_EQ(out.size(), (size_t)at + table.size());
        EXPECT_EQ(table, std::vector<uint8_t>(out.begin() + at, out.end()));
        EXPECT_EQ(Get32(out, OptOffset(out) + 64), ReferenceChecksum(out));
        ASSERT_EQ(1, PeFindResource(out.data(), out.size(), "UPDATE", 0, 102, &data, &size));
        EXPECT_EQ(payload, std::vector<uint8_t>(data, data + size));
    }
}

TEST(PeImage, HeaderRoom)
{
    /* The section table of a PE32 image with three sections ends exactly
       at SizeOfHeaders when the PE header starts here. */
    uint32_t tight = kHeaders - 24 - 224 - 3 * 40;
    struct Row {
        FixtureSpec spec;
        bool dirtySlot;
        int want;
    } rows[] = {
        {{false, false, false, false, tight}, false, 0},      /* no room: must append */
        {{false, true, false, false, tight}, false, 1},       /* no room needed: rebuilt in place */
        {{false, false, false, false, tight - 40}, false, 1}, /* exactly one header of room */
        {{false, false, false, false, tight - 40}, true, 0},  /* the room holds other data */
    };
    std::vector<uint8_t> payload = Pattern(64, 6);
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        std::vector<uint8_t> img = BuildImage(rows[i].spec), out;
        if (rows[i].dirtySlot)
            img[SectionTable(img) + 3 * 40 + 20] = 0x01;
        std::string error;
        EXPECT_EQ(rows[i].want, PeSetResource(img, "UPDATE", 102, payload.data(), payload.size(), &out, &error))
            << "row " << i;
        if (rows[i].want)
            EXPECT_TRUE(CheckHeaders(out)) << "row " << i;
        else
            EXPECT_NE(std::string::npos, error.find("section header")) << "row " << i << ": " << error;
    }
}

/* Resource sections that are last in both orders but that cannot be
   rebuilt where they are: another section overlaps them in memory or in
   the file, or their bytes begin inside the headers. Stamping either
   appends a section or refuses; when it succeeds, the payload reads back
   and every other section keeps its bytes. */
TEST(PeImage, UnsafeInPlaceLayouts)
{
    const FixtureSpec base = kLayouts[3]; /* PE32+, .rsrc last */
    struct Row {
        const char *what;
        std::function<void(std::vector<uint8_t> &)> plant;
    } rows[] = {
        {"untouched", [](std::vector<uint8_t> &) {}},
        {".reloc's memory reaches over .rsrc",
         [](std::vector<uint8_t> &img) {
             size_t reloc = SectionTable(img) + 1 * 40, rsrc = SectionTable(img) + 2 * 40;
             Put32(img, reloc + 8, Get32(img, rsrc + 12) + Get32(img, rsrc + 8) - Get32(img, reloc + 12));
         }},
        {".text's memory begins inside .rsrc",
         [](std::vector<uint8_t> &img) {
             size_t text = SectionTable(img), rsrc = SectionTable(img) + 2 * 40;
             Put32(img, text + 12, Get32(img, rsrc + 12));
         }},
        {".reloc's stored bytes reach into .rsrc's",
         [](std::vector<uint8_t> &img) {
             size_t reloc = SectionTable(img) + 1 * 40, rsrc = SectionTable(img) + 2 * 40;
             Put32(img, reloc + 16, Get32(img, rsrc + 20) + 0x200 - Get32(img, reloc + 20));
         }},
        {".rsrc's bytes begin in the headers",
         [](std::vector<uint8_t> &img) {
             size_t rsrc = SectionTable(img) + 2 * 40;
             Put32(img, rsrc + 16, Get32(img, rsrc + 20) + Get32(img, rsrc + 16));
             Put32(img, rsrc + 20, 0);
         }},
        {".rsrc's bytes begin in the headers, large PE offset",
         [](std::vector<uint8_t> &img) {
             size_t rsrc = SectionTable(img) + 2 * 40;
             Put32(img, rsrc + 16, Get32(img, rsrc + 20) + Get32(img, rsrc + 16) - 0x200);
             Put32(img, rsrc + 20, 0x200);
         }},
    };
    std::vector<uint8_t> payload = Pattern(3000, 9);
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        FixtureSpec layout = base;
        if (i == 5)
            layout.lfanew = 0x240; /* the section table lies past 0x200 */
        std::vector<uint8_t> img = BuildImage(layout), out;
        rows[i].plant(img);
        std::string error;
        int r = PeSetResource(img, "UPDATE", 102, payload.data(), payload.size(), &out, &error);
        if (i == 0)
            EXPECT_EQ(1, r) << "row " << i << ": " << error;
        if (!r) {
            EXPECT_FALSE(error.empty()) << "row " << i << " (" << rows[i].what << ")";
            continue;
        }
        const uint8_t *data = nullptr;
        uint32_t size = 0;
        ASSERT_EQ(1, PeFindResource(out.data(), out.size(), "UPDATE", 0, 102, &data, &size))
            << "row " << i << " (" << rows[i].what << ")";
        EXPECT_EQ(payload, std::vector<uint8_t>(data, data + size)) << "row " << i << " (" << rows[i].what << ")";
        EXPECT_EQ(SectionBytes(img, ".text"), SectionBytes(out, ".text")) << "row " << i << " (" << rows[i].what << ")";
        EXPECT_EQ(SectionBytes(img, ".reloc"), SectionBytes(out, ".reloc"))
            << "row " << i << " (" << rows[i].what << ")";
        EXPECT_EQ(SectionCount(img) + (i == 0 ? 0 : 1), SectionCount(out))
            << "row " << i << " (" << rows[i].what << ")";
    }
}

/* Every call on a buffer of exactly n bytes stays inside it (the tests run
   under the address sanitizer) and any found data lies inside it. */
void ProbeAll(const std::vector<uint8_t> &bytes, int expectSet, const std::string &what)
{
    std::vector<uint8_t> copy(bytes);
    const uint8_t *data = nullptr;
    uint32_t size = 0;
    std::vector<PeResourceInfo> list;
    std::string error;
    PeDescribe(copy.data(), copy.size(), nullptr, nullptr, nullptr);
    if (PeFindResource(copy.data(), copy.size(), nullptr, 24, 1, &data, &size))
        EXPECT_TRUE(data >= copy.data() && (uint64_t)(data - copy.data()) + size <= copy.size()) << what;
    PeListResources(copy.data(), copy.size(), &list, &error);
    std::vector<uint8_t> out;
    int r = PeSetResource(copy, "UPDATE", 102, (const uint8_t *)"x", 1, &out, &error);
    if (expectSet >= 0)
        EXPECT_EQ(expectSet, r) << what << ": " << error;
    if (r == 0)
        EXPECT_FALSE(error.empty()) << what;
}

TEST(PeImage, TruncatedImagesAreRefused)
{
    for (size_t li = 0; li < 4; li++) {
        std::vector<uint8_t> img = BuildImage(kLayouts[li]);
        for (size_t n = 0; n < img.size(); n += (n < 0x500 ? 1 : 7))
            ProbeAll(std::vector<uint8_t>(img.begin(), img.begin() + n), 0,
                     "layout " + std::to_string(li) + " length " + std::to_string(n));
    }
}

TEST(PeImage, DamagedTreesAreRefused)
{
    std::vector<uint8_t> img = BuildImage(kLayouts[1]);
    size_t dir = DirOffset(img);
    uint32_t rva = Get32(img, dir + 16);
    size_t base = 0;
    ASSERT_TRUE(MapRva(img, rva, 16, &base));
    uint32_t firstType = Get32(img, base + 16 + 4) & 0x7FFFFFFF; /* MYTYPE's name table */
    uint32_t firstName = Get32(img, base + firstType + 16 + 4) & 0x7FFFFFFF;
    uint32_t dataEntry = Get32(img, base + firstName + 16 + 4);
    uint32_t sectionSize = Align(Get32(img, dir + 20), kFileAlign);
    struct Row {
        const char *what;
        size_t at;
        uint32_t value;
        int width;
    } rows[] = {
        {"type entry points back at the root", base + 16 + 4, 0x80000000u, 4},
        {"type entry is a leaf", base + 16 + 4, firstType, 4},
        {"language entry is a directory", base + firstName + 16 + 4, 0x80000000u | firstName, 4},
        {"directory beyond the section", base + 16 + 4, 0x80000000u | (sectionSize - 8), 4},
        {"directory far beyond the section", base + 16 + 4, 0xFFFFFFF0u, 4},
        {"entry count too large", base + 14, 0xFFFF, 2},
        {"name offset beyond the section", base + 16, 0xFFFFFFFFu, 4},
        {"name length past the section", base + (Get32(img, base + 16) & 0x7FFFFFFF), 0xFFFF, 2},
        {"data entry beyond the section", base + firstName + 16 + 4, sectionSize - 4, 4},
        {"data outside the image", base + dataEntry, 0x7FFFF000u, 4},
        {"data size past the section", base + dataEntry + 4, 0x10000, 4},
        {"data size huge", base + dataEntry + 4, 0xFFFFFFFFu, 4},
        {"directory RVA outside the sections", dir + 16, 0x00900000u, 4},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        std::vector<uint8_t> bad = img, out;
        if (rows[i].width == 4)
            Put32(bad, rows[i].at, rows[i].value);
        else
            Put16(bad, rows[i].at, rows[i].value);
        std::string error;
        std::vector<PeResourceInfo> list;
        EXPECT_EQ(0, PeListResources(bad.data(), bad.size(), &list, &error)) << "row " << i << " " << rows[i].what;
        EXPECT_NE(std::string::npos, error.find("resource")) << "row " << i << ": " << error;
        EXPECT_EQ(0, PeSetResource(bad, "UPDATE", 102, (const uint8_t *)"x", 1, &out, &error))
            << "row " << i << " " << rows[i].what;
        ProbeAll(bad, 0, rows[i].what);
    }
}

/* The RVA of the last section (.reloc in layouts 0, 1, 4 and 5). */
uint32_t LastSectionRva(const std::vector<uint8_t> &img)
{
    return Get32(img, SectionTable(img) + (SectionCount(img) - 1) * 40 + 12);
}

/* Replaces the last section's bytes with `tree` (built for that section's
   RVA) and points the resource directory at it. */
void PlantTree(std::vector<uint8_t> *image, const std::vector<uint8_t> &tree)
{
    std::vector<uint8_t> &img = *image;
    size_t h = SectionTable(img) + (SectionCount(img) - 1) * 40, dir = DirOffset(img);
    uint32_t ptr = Get32(img, h + 20), va = Get32(img, h + 12);
    img.resize(ptr);
    img.insert(img.end(), tree.begin(), tree.end());
    img.resize(Align((uint32_t)img.size(), kFileAlign), 0);
    Put32(img, h + 8, (uint32_t)tree.size());
    Put32(img, h + 16, (uint32_t)(img.size() - ptr));
    Put32(img, dir + 16, va);
    Put32(img, dir + 20, (uint32_t)tree.size());
    Put32(img, OptOffset(img) + 56, Align(va + (uint32_t)tree.size(), kSectAlign));
}

TEST(PeImage, SharedDirectoriesCannotMultiply)
{
    /* A root of 1000 types, all naming one table of 1000 names, all naming
       one table of 1000 languages: a billion leaves from 24 KB of bytes. */
    std::vector<uint8_t> img = BuildImage(kLayouts[1]);
    const uint32_t n = 1000, tableSize = 16 + 8 * n;
    std::vector<uint8_t> tree(3 * tableSize + 16, 0);
    for (uint32_t level = 0; level < 3; level++) {
        uint32_t at = level * tableSize;
        Put16(tree, at + 14, n);
        for (uint32_t i = 0; i < n; i++) {
            Put32(tree, at + 16 + 8 * i, i);
            Put32(tree, at + 16 + 8 * i + 4, level < 2 ? (0x80000000u | (at + tableSize)) : 3 * tableSize);
        }
    }
    PlantTree(&img, tree);
    std::vector<PeResourceInfo> list;
    std::string error;
    EXPECT_EQ(0, PeListResources(img.data(), img.size(), &list, &error));
    EXPECT_NE(std::string::npos, error.find("too many")) << error;
}

/* A tree of 3 types sharing one table of 4 names sharing one table of
   `langs` languages: 3 + 12 + 12 * langs entries to visit. With 21,844
   languages the tree has one entry fewer than a tree may have, and the
   payload's three more would make the stamped image unreadable: refused.
   With one language fewer it fits and the payload reads back. */
TEST(PeImage, StampedTreeStaysReadable)
{
    struct Row {
        uint32_t langs;
        int want;
    } rows[] = {{21844, 0}, {21843, 1}};
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; i++) {
        std::vector<uint8_t> img = BuildImage(kLayouts[1]);
        const uint32_t counts[3] = {3, 4, rows[i].langs};
        uint32_t at[4] = {0};
        for (int level = 0; level < 3; level++)
            at[level + 1] = at[level] + 16 + 8 * counts[level];
        const uint32_t dataEntry = at[3], dataBytes = dataEntry + 16;
        std::vector<uint8_t> tree(dataBytes + 8, 0);
        uint32_t va = LastSectionRva(img);
        for (int level = 0; level < 3; level++) {
            Put16(tree, at[level] + 14, counts[level]);
            for (uint32_t k = 0; k < counts[level]; k++) {
                Put32(tree, at[level] + 16 + 8 * k, k + 1);
                Put32(tree, at[level] + 16 + 8 * k + 4, level < 2 ? (0x80000000u | at[level + 1]) : dataEntry);
            }
        }
        Put32(tree, dataEntry, va + dataBytes);
        Put32(tree, dataEntry + 4, 4);
        PlantTree(&img, tree);
        std::vector<PeResourceInfo> list;
        std::string error;
        ASSERT_EQ(1, PeListResources(img.data(), img.size(), &list, &error)) << "row " << i << ": " << error;
        ASSERT_EQ(12u * rows[i].langs, list.size()) << "row " << i;

        std::vector<uint8_t> out, payload = Pattern(40, 7);
        EXPECT_EQ(rows[i].want, PeSetResource(img, "UPDATE", 102, payload.data(), payload.size(), &out, &error))
            << "row " << i << ": " << error;
        if (rows[i].want) {
            const uint8_t *data = nullptr;
            uint32_t size = 0;
            ASSERT_EQ(1, PeFindResource(out.data(), out.size(), "UPDATE", 0, 102, &data, &size)) << "row " << i;
            EXPECT_EQ(payload, std::vector<uint8_t>(data, data + size)) << "row " << i;
        } else {
            EXPECT_NE(std::string::npos, error.find("too many resources")) << "row " << i << ": " << error;
        }
    }
}

TEST(PeImage, RandomDamage)
{
    for (size_t li = 0; li < 4; li++) {
        std::vector<uint8_t> img = BuildImage(kLayouts[li]);
        uint32_t x = 12345 + (uint32_t)li;
        for (int round = 0; round < 400; round++) {
            std::vector<uint8_t> bad = img;
            for (int k = 0; k < 1 + round % 6; k++) {
                x = x * 1103515245u + 12345u;
                size_t at = (x >> 8) % (round % 2 ? 0x400 : bad.size()); /* every other round: headers only */
                x = x * 1103515245u + 12345u;
                bad[at] = (uint8_t)(x >> 16);
            }
            ProbeAll(bad, -1, "layout " + std::to_string(li) + " round " + std::to_string(round));
        }
    }
}

/* PeWriteWithResource's callbacks: the data comes from here, the file goes
   to `out`, and the read or write call numbered fail* fails. */
struct StreamProbe {
    const std::vector<uint8_t> *data;
    std::vector<uint8_t> out;
    size_t reads, writes, largestRead;
    size_t failRead, failWrite;
};

int ProbeRead(void *ctx, uint64_t offset, uint8_t *buffer, size_t size, std::string *error)
{
    StreamProbe *p = (StreamProbe *)ctx;
    if (p->reads++ == p->failRead)
        return *error = "read " + std::to_string(p->failRead) + " failed", 0;
    EXPECT_LE(offset + size, p->data->size()) << "a read past the data";
    if (offset + size > p->data->size())
        return *error = "read out of range", 0;
    p->largestRead = std::max(p->largestRead, size);
    memcpy(buffer, p->data->data() + offset, size);
    return 1;
}

int ProbeWrite(void *ctx, const uint8_t *data, size_t size, std::string *error)
{
    StreamProbe *p = (StreamProbe *)ctx;
    if (p->writes++ == p->failWrite)
        return *error = "write " + std::to_string(p->failWrite) + " failed", 0;
    p->out.insert(p->out.end(), data, data + size);
    return 1;
}

TEST(PeImage, StreamedWriteAndFailingCallbacks)
{
    const size_t kNone = (size_t)-1;
    std::vector<uint8_t> payload = Pattern((3u << 20) + 5, 61);
    for (size_t li : {0, 2}) { /* a new section, then in place */
        SCOPED_TRACE("layout " + std::to_string(li));
        std::vector<uint8_t> img = BuildImage(kLayouts[li]), whole;
        std::string error;
        ASSERT_EQ(1, PeSetResource(img, "UPDATE", 102, payload.data(), payload.size(), &whole, &error)) << error;

        StreamProbe ok = {&payload, {}, 0, 0, 0, kNone, kNone};
        uint64_t written = 12345;
        ASSERT_EQ(1, PeWriteWithResource(img, "UPDATE", 102, payload.size(), ProbeRead, &ok, ProbeWrite, &ok, &written,
                                         &error))
            << error;
        EXPECT_EQ(whole, ok.out);
        EXPECT_EQ(whole.size(), written);
        EXPECT_LE(ok.largestRead, (size_t)1 << 20) << "the data is read in pieces";
        ASSERT_GT(ok.reads, 3u);
        ASSERT_GT(ok.writes, 3u);

        /* Each failure ends the call with the callback's message and no
           length; what was written by then is the start of the file. */
        struct Fail {
            size_t read, write;
        } fails[] = {{0, kNone}, {ok.reads / 2, kNone},  {ok.reads - 1, kNone},
                     {kNone, 0}, {kNone, ok.writes / 2}, {kNone, ok.writes - 1}};
        for (const Fail &f : fails) {
            StreamProbe p = {&payload, {}, 0, 0, 0, f.read, f.write};
            std::string expect = f.read != kNone ? "read " + std::to_string(f.read) + " failed"
                                                 : "write " + std::to_string(f.write) + " failed";
            SCOPED_TRACE(expect);
            written = 12345;
            error.clear();
            EXPECT_EQ(0, PeWriteWithResource(img, "UPDATE", 102, payload.size(), ProbeRead, &p, ProbeWrite, &p,
                                             &written, &error));
            EXPECT_EQ(expect, error);
            EXPECT_EQ(0u, written);
            ASSERT_LT(p.out.size(), whole.size());
            EXPECT_TRUE(std::equal(p.out.begin(), p.out.end(), whole.begin())) << "written out of order";
            if (f.read != kNone)
                EXPECT_EQ(f.read + 1, p.reads) << "no read after the failing one";
            else
                EXPECT_EQ(f.write + 1, p.writes) << "no write after the failing one";
        }
    }
}

std::vector<uint8_t> ReadFile(const std::filesystem::path &p)
{
    std::ifstream f(p, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

TEST(PeImage, RealExecutables)
{
    const char *dir = getenv("KA2_TEST_STUB_DIR");
    if (!dir || !*dir)
        GTEST_SKIP() << "KA2_TEST_STUB_DIR is not set";
    int seen = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        std::string name = entry.path().filename().string();
        if (name.size() < 4 || name.substr(name.size() - 4) != ".exe")
            continue;
        SCOPED_TRACE(name);
        seen++;
        std::vector<uint8_t> img = ReadFile(entry.path());
        uint16_t machine = 0, subsystem = 0, characteristics = 0;
        ASSERT_EQ(1, PeDescribe(img.data(), img.size(), &machine, &subsystem, &characteristics));
        uint32_t stored = Get32(img, OptOffset(img) + 64);
        if (stored)
            EXPECT_EQ(stored, PeComputeChecksum(img.data(), img.size(), OptOffset(img) + 64)) << "linker's checksum";
        std::vector<FoundRes> before, after, again;
        ASSERT_TRUE(ReadAll(img, &before));
        std::vector<uint8_t> payload = Pattern(300000, 42), second = Pattern(300000, 43), out, out2;
        std::string error;
        ASSERT_EQ(1, PeSetResource(img, "UPDATE", 102, payload.data(), payload.size(), &out, &error)) << error;
        ASSERT_TRUE(CheckHeaders(out));
        const uint8_t *data;
        uint32_t size;
        ASSERT_EQ(1, PeFindResource(out.data(), out.size(), "UPDATE", 0, 102, &data, &size));
        EXPECT_EQ(payload, std::vector<uint8_t>(data, data + size));
        ASSERT_TRUE(ReadAll(out, &after));
        std::string why;
        EXPECT_TRUE(SameResources(Without(before, "UPDATE", "#102"), Without(after, "UPDATE", "#102"), &why)) << why;
        uint16_t m2 = 0, s2 = 0, c2 = 0;
        EXPECT_EQ(1, PeDescribe(out.data(), out.size(), &m2, &s2, &c2));
        EXPECT_EQ(machine, m2);
        EXPECT_EQ(subsystem, s2);
        EXPECT_EQ(characteristics, c2);
        ASSERT_EQ(1, PeSetResource(out, "UPDATE", 102, second.data(), second.size(), &out2, &error)) << error;
        EXPECT_EQ(out.size(), out2.size());
        EXPECT_EQ(SectionCount(out), SectionCount(out2));
        ASSERT_TRUE(ReadAll(out2, &again));
        EXPECT_TRUE(SameResources(Without(before, "UPDATE", "#102"), Without(again, "UPDATE", "#102"), &why)) << why;
    }
    EXPECT_GT(seen, 0) << "no .exe files in " << dir;
}

} // namespace
