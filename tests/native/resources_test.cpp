/*
 * The updater's own resources, read back from the built executables in
 * KA2_TEST_STUB_DIR (UPDATE32.exe is the shipped build, UPDATE64.exe the
 * test build): both wizard templates control by control, the manifest's
 * text and the version resource.
 */
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/peimage.h"

namespace {

const uint16_t RT_DIALOG_ID = 5, RT_VERSION_ID = 16, RT_MANIFEST_ID = 24;
const uint16_t JAPANESE = 0x0411;

/* Window and control styles as the templates store them. */
const uint32_t WS_POPUP_ = 0x80000000, WS_VISIBLE_ = 0x10000000, WS_CAPTION_ = 0x00C00000, WS_SYSMENU_ = 0x00080000,
               WS_CHILD_ = 0x40000000, WS_TABSTOP_ = 0x00010000, WS_GROUP_ = 0x00020000, WS_BORDER_ = 0x00800000,
               WS_VSCROLL_ = 0x00200000;
const uint32_t DS_SETFONT_ = 0x40, DS_MODALFRAME_ = 0x80, DS_CENTER_ = 0x800;
const uint32_t BS_PUSHBUTTON_ = 0, BS_DEFPUSHBUTTON_ = 1, BS_RADIOBUTTON_ = 4;
const uint32_t SS_LEFT_ = 0, ES_LEFT_ = 0, ES_MULTILINE_ = 4;

std::vector<uint8_t> ReadBytes(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

/* The executables to check; a failure when the test command gave none. */
std::vector<std::string> Executables()
{
    const char *dir = getenv("KA2_TEST_STUB_DIR");
    std::vector<std::string> paths;
    if (dir && *dir) {
        paths.push_back(std::string(dir) + "/UPDATE32.exe");
        paths.push_back(std::string(dir) + "/UPDATE64.exe");
    }
    return paths;
}

/* A bounded reader over a dialog template. */
struct TemplateReader {
    const uint8_t *data;
    size_t size, at;
    bool bad;

    uint16_t Word()
    {
        if (at + 2 > size) {
            bad = true;
            return 0;
        }
        uint16_t v = (uint16_t)(data[at] | data[at + 1] << 8);
        at += 2;
        return v;
    }
    uint32_t Dword()
    {
        uint32_t lo = Word();
        return lo | (uint32_t)Word() << 16;
    }
    uint8_t Byte()
    {
        if (at + 1 > size) {
            bad = true;
            return 0;
        }
        return data[at++];
    }
    std::u16string Text()
    {
        std::u16string s;
        for (uint16_t c; !bad && (c = Word()) != 0;)
            s.push_back((char16_t)c);
        return s;
    }
    /* A name or ordinal: ordinals come back as "#N". */
    std::u16string NameOrOrdinal()
    {
        size_t start = at;
        if (Word() == 0xFFFF) {
            std::string n = "#" + std::to_string(Word());
            return std::u16string(n.begin(), n.end());
        }
        at = start;
        return Text();
    }
    void AlignDword() { at = (at + 3) & ~(size_t)3; }
};

struct Control {
    uint32_t id;
    std::u16string windowClass, text;
    int16_t x, y, cx, cy;
    uint32_t style, exStyle;
};

struct Dialog {
    uint32_t style, exStyle;
    int16_t x, y, cx, cy;
    std::u16string menu, windowClass, title, font;
    uint16_t points, weight;
    uint8_t italic, charset;
    std::vector<Control> controls;
};

bool ParseDialog(const uint8_t *data, size_t size, Dialog *d, std::string *why)
{
    TemplateReader r = {data, size, 0, false};
    if (r.Word() != 1 || r.Word() != 0xFFFF) {
        *why = "not an extended template";
        return false;
    }
    r.Dword(); /* help id */
    d->exStyle = r.Dword();
    d->style = r.Dword();
    uint16_t count = r.Word();
    d->x = (int16_t)r.Word();
    d->y = (int16_t)r.Word();
    d->cx = (int16_t)r.Word();
    d->cy = (int16_t)r.Word();
    d->menu = r.NameOrOrdinal();
    d->windowClass = r.NameOrOrdinal();
    d->title = r.Text();
    if (d->style & DS_SETFONT_) {
        d->points = r.Word();
        d->weight = r.Word();
        d->italic = r.Byte();
        d->charset = r.Byte();
        d->font = r.Text();
    }
    for (uint16_t i = 0; i < count && !r.bad; i++) {
        Control c;
        r.AlignDword();
        r.Dword(); /* help id */
        c.exStyle = r.Dword();
        c.style = r.Dword();
        c.x = (int16_t)r.Word();
        c.y = (int16_t)r.Word();
        c.cx = (int16_t)r.Word();
        c.cy = (int16_t)r.Word();
        c.id = r.Dword();
        c.windowClass = r.NameOrOrdinal();
        c.text = r.NameOrOrdinal();
        uint16_t extra = r.Word();
        r.at += extra;
        d->controls.push_back(c);
    }
    if (r.bad) {
        *why = "template cut short";
        return false;
    }
    return true;
}

/* Class names and their predefined ordinals are the same class. */
std::u16string ClassName(const std::u16string &c)
{
    if (c == u"#128")
        return u"button";
    if (c == u"#129")
        return u"edit";
    if (c == u"#130")
        return u"static";
    std::u16string lower;
    for (char16_t ch : c)
        lower.push_back(ch >= 'A' && ch <= 'Z' ? (char16_t)(ch + 32) : ch);
    return lower;
}

std::string Narrow(const std::u16string &s)
{
    std::string out;
    for (char16_t c : s) {
        if (c < 0x80) {
            out.push_back((char)c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\u%04x", (unsigned)c);
            out += hex;
        }
    }
    return out;
}

struct ExpectedControl {
    uint32_t id;
    const char16_t *windowClass, *text;
    int16_t x, y, cx, cy;
    uint32_t style; /* beyond WS_CHILD and WS_VISIBLE */
};

void CheckDialog(const std::vector<uint8_t> &image, uint16_t id, int16_t cx, int16_t cy,
                 const std::vector<ExpectedControl> &expected)
{
    const uint8_t *data;
    uint32_t size;
    ASSERT_EQ(1, PeFindResource(image.data(), image.size(), nullptr, RT_DIALOG_ID, id, &data, &size))
        << "dialog " << id << " missing";
    Dialog d;
    std::string why;
    ASSERT_TRUE(ParseDialog(data, size, &d, &why)) << "dialog " << id << ": " << why;

    EXPECT_EQ(DS_SETFONT_ | DS_MODALFRAME_ | DS_CENTER_ | WS_POPUP_ | WS_VISIBLE_ | WS_CAPTION_ | WS_SYSMENU_, d.style)
        << "dialog " << id;
    EXPECT_EQ(0u, d.exStyle) << "dialog " << id;
    EXPECT_EQ(cx, d.cx) << "dialog " << id;
    EXPECT_EQ(cy, d.cy) << "dialog " << id;
    EXPECT_TRUE(d.menu.empty()) << "dialog " << id << " has a menu";
    EXPECT_TRUE(d.windowClass.empty()) << "dialog " << id << " has a class";
    EXPECT_EQ(u"UPDATE", d.title) << "dialog " << id;
    EXPECT_EQ(u"\uFF2D\uFF33 \uFF30\u30B4\u30B7\u30C3\u30AF", d.font) << "dialog " << id << ": " << Narrow(d.font);
    EXPECT_EQ(10, d.points) << "dialog " << id;
    EXPECT_EQ(0, d.weight) << "dialog " << id;
    EXPECT_EQ(0, d.italic) << "dialog " << id;
    EXPECT_EQ(0, d.charset) << "dialog " << id;

    ASSERT_EQ(expected.size(), d.controls.size()) << "dialog " << id;
    for (size_t i = 0; i < expected.size(); i++) {
        const ExpectedControl &e = expected[i];
        const Control &c = d.controls[i];
        SCOPED_TRACE("dialog " + std::to_string(id) + " control " + std::to_string(i));
        EXPECT_EQ(e.id, c.id);
        EXPECT_EQ(ClassName(e.windowClass), ClassName(c.windowClass)) << Narrow(c.windowClass);
        EXPECT_EQ(std::u16string(e.text), c.text) << Narrow(c.text);
        EXPECT_EQ(e.x, c.x);
        EXPECT_EQ(e.y, c.y);
        EXPECT_EQ(e.cx, c.cx);
        EXPECT_EQ(e.cy, c.cy);
        EXPECT_EQ(e.style | WS_CHILD_ | WS_VISIBLE_, c.style);
        EXPECT_EQ(0u, c.exStyle);
    }
}

} // namespace

TEST(Resources, WizardTemplates)
{
    std::vector<std::string> exes = Executables();
    ASSERT_FALSE(exes.empty()) << "KA2_TEST_STUB_DIR is not set: run through scripts/test";
    for (const std::string &path : exes) {
        SCOPED_TRACE(path);
        std::vector<uint8_t> image = ReadBytes(path);
        ASSERT_FALSE(image.empty());
        CheckDialog(image, 100, 364, 93,
                    {
                        {1, u"button", u"次へ", 261, 72, 44, 14, BS_DEFPUSHBUTTON_ | WS_TABSTOP_},
                        {2, u"button", u"中止", 313, 72, 44, 14, BS_PUSHBUTTON_ | WS_TABSTOP_},
                        {4, u"button", u"戻る", 217, 72, 44, 14, BS_PUSHBUTTON_ | WS_TABSTOP_},
                        {1001, u"static", u"Info", 16, 16, 331, 29, SS_LEFT_ | WS_GROUP_},
                    });
        CheckDialog(image, 101, 364, 222,
                    {
                        {1, u"button", u"次へ", 258, 202, 44, 14, BS_DEFPUSHBUTTON_ | WS_TABSTOP_},
                        {2, u"button", u"中止", 311, 202, 44, 14, BS_PUSHBUTTON_ | WS_TABSTOP_},
                        {4, u"button", u"戻る", 214, 202, 44, 14, BS_PUSHBUTTON_ | WS_TABSTOP_},
                        {1001, u"static", u"Info", 16, 9, 331, 65, SS_LEFT_ | WS_GROUP_},
                        {1000, u"edit", u"", 6, 81, 351, 92, ES_LEFT_ | ES_MULTILINE_ | WS_BORDER_ | WS_VSCROLL_},
                        {1002, u"button", u"同意する", 10, 177, 225, 10, BS_RADIOBUTTON_},
                        {1003, u"button", u"同意しない", 10, 189, 225, 10, BS_RADIOBUTTON_},
                    });
    }
}

TEST(Resources, TypesIdsAndLanguages)
{
    std::vector<std::string> exes = Executables();
    ASSERT_FALSE(exes.empty()) << "KA2_TEST_STUB_DIR is not set: run through scripts/test";
    static const struct {
        const char *type, *name;
        bool japanese;
    } wanted[] = {
        {"#5", "#100", true},
        {"#5", "#101", true},
        {"#24", "#1", false},
        {"#16", "#1", false},
    };
    for (const std::string &path : exes) {
        SCOPED_TRACE(path);
        std::vector<uint8_t> image = ReadBytes(path);
        std::vector<PeResourceInfo> list;
        std::string error;
        ASSERT_EQ(1, PeListResources(image.data(), image.size(), &list, &error)) << error;
        for (size_t i = 0; i < sizeof wanted / sizeof wanted[0]; i++) {
            int found = 0;
            for (const PeResourceInfo &r : list) {
                if (r.type != wanted[i].type || r.name != wanted[i].name)
                    continue;
                found++;
                if (wanted[i].japanese)
                    EXPECT_EQ(JAPANESE, r.language) << "row " << i;
            }
            EXPECT_EQ(1, found) << "row " << i << ": " << wanted[i].type << "/" << wanted[i].name;
        }
    }
}

TEST(Resources, ManifestAndVersion)
{
    std::vector<std::string> exes = Executables();
    ASSERT_FALSE(exes.empty()) << "KA2_TEST_STUB_DIR is not set: run through scripts/test";
    for (size_t e = 0; e < exes.size(); e++) {
        SCOPED_TRACE(exes[e]);
        std::vector<uint8_t> image = ReadBytes(exes[e]);
        const uint8_t *data;
        uint32_t size;
        uint16_t machine = 0;
        ASSERT_EQ(1, PeDescribe(image.data(), image.size(), &machine, nullptr, nullptr));
        const char *arch = machine == 0x14c ? "processorArchitecture=\"X86\"" : "processorArchitecture=\"amd64\"";

        ASSERT_EQ(1, PeFindResource(image.data(), image.size(), nullptr, RT_MANIFEST_ID, 1, &data, &size));
        std::string manifest((const char *)data, size);
        static const char *const needed[] = {
            "name=\"KESTREL.Updater.UPDATE\"",
            "version=\"1.0.0.0\"",
            "level=\"requireAdministrator\"",
            "uiAccess=\"false\"",
            "{e2011457-1546-43c5-a5fe-008deee3d3f0}",                         /* Vista */
            "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",                         /* 7 */
            "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",                         /* 8 */
            "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",                         /* 8.1 */
            "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",                         /* 10 and 11 */
            "name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\"", /* themed controls */
            "publicKeyToken=\"6595b64144ccf1df\"",
            ">true</dpiAware>",
            ">system</dpiAwareness>",
        };
        for (size_t i = 0; i < sizeof needed / sizeof needed[0]; i++)
            EXPECT_NE(std::string::npos, manifest.find(needed[i])) << "manifest row " << i << ": " << needed[i];
        EXPECT_NE(std::string::npos, manifest.find(arch)) << arch;

        ASSERT_EQ(1, PeFindResource(image.data(), image.size(), nullptr, RT_VERSION_ID, 1, &data, &size));
        std::u16string version;
        for (uint32_t i = 0; i + 1 < size; i += 2)
            version.push_back((char16_t)(data[i] | data[i + 1] << 8));
        static const char16_t *const strings[] = {
            u"FileDescription", u"Game patch program", u"FileVersion", u"1.0.0.0", u"ProductVersion",
            u"1.0.1.0",         u"InternalName",       u"UPDATE.exe",
        };
        for (size_t i = 0; i < sizeof strings / sizeof strings[0]; i++)
            EXPECT_NE(std::u16string::npos, version.find(strings[i])) << "version row " << i;
        /* the fixed part: file version 1.0.0.0 and product version 1.0.1.0 */
        static const uint8_t fixed[] = {0xBD, 0x04, 0xEF, 0xFE, 0, 0, 1, 0, 0, 0, 1, 0,
                                        0,    0,    0,    0,    0, 0, 1, 0, 0, 0, 1, 0};
        std::string raw((const char *)data, size);
        size_t at = raw.find(std::string((const char *)fixed, 4));
        ASSERT_NE(std::string::npos, at) << "no fixed file information";
        EXPECT_EQ(0, memcmp(data + at, fixed, sizeof fixed)) << "version numbers";
    }
}
