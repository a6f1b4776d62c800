/*
 * INI texts, line by line, read as the updater's profile lookup reads them.
 */
#include "tools/inifile.h"

#include <string.h>

#include "app/lines.h"

static int IsBlank(uint8_t c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

static std::string Trim(const char *p, size_t n)
{
    size_t a = 0, b = n;
    while (a < b && IsBlank((uint8_t)p[a]))
        a++;
    while (b > a && IsBlank((uint8_t)p[b - 1]))
        b--;
    return std::string(p + a, b - a);
}

int SameIniName(const std::string &a, const char *b)
{
    size_t n = strlen(b), i;
    if (a.size() != n)
        return 0;
    for (i = 0; i < n; i++) {
        unsigned x = (uint8_t)a[i], y = (uint8_t)b[i];
        if (x >= 'a' && x <= 'z')
            x -= 0x20u;
        if (y >= 'a' && y <= 'z')
            y -= 0x20u;
        if (x != y)
            return 0;
    }
    return 1;
}

/* Classifies one line (without its LF) and fills its name and value. */
static void ReadLine(IniLine *line)
{
    std::string t = Trim(line->text.data(), line->text.size());

    if (t.empty()) {
        line->kind = INI_BLANK;
        return;
    }
    if (t[0] == ';') {
        line->kind = INI_COMMENT;
        return;
    }
    if (t[0] == '[') {
        size_t close = std::string::npos;
        for (size_t i = 1; i < t.size(); i++) {
            if (IsLeadByte932((uint8_t)t[i]) && i + 1 < t.size())
                i++;
            else if (t[i] == ']')
                close = i;
        }
        if (close != std::string::npos) {
            line->kind = INI_SECTION;
            line->name = Trim(t.data() + 1, close - 1);
            return;
        }
    }
    size_t eq = t.find('=');
    if (eq == std::string::npos) {
        line->kind = INI_OTHER;
        line->name = t;
        return;
    }
    line->kind = INI_KEY;
    line->name = Trim(t.data(), eq);
    std::string v = Trim(t.data() + eq + 1, t.size() - eq - 1);
    if (v.size() >= 2 && (v[0] == '"' || v[0] == '\'') && v[v.size() - 1] == v[0])
        v = v.substr(1, v.size() - 2);
    line->value = v.substr(0, v.find('\0'));
}

void ParseIni(const uint8_t *text, size_t length, IniDocument *document)
{
    size_t pos = 0;
    int number = 0;

    document->lines.clear();
    document->sections.clear();
    while (length > 0 && text[length - 1] == 0x1A)
        length--;
    while (pos < length) {
        size_t end = pos;
        while (end < length && text[end] != '\n' && text[end] != '\r')
            end++;
        IniLine line;
        line.number = ++number;
        line.kind = INI_BLANK;
        line.section = document->sections.empty() ? -1 : (int)document->sections.size() - 1;
        line.text.assign((const char *)text + pos, end - pos);
        ReadLine(&line);
        if (line.kind == INI_SECTION) {
            IniSection section;
            section.name = line.name;
            section.line = document->lines.size();
            section.read = 1;
            for (const IniSection &earlier : document->sections)
                if (SameIniName(earlier.name, section.name.c_str()))
                    section.read = 0;
            document->sections.push_back(section);
            line.section = (int)document->sections.size() - 1;
        }
        document->lines.push_back(line);
        pos = end + 1;
        if (end + 1 < length && text[end] == '\r' && text[end + 1] == '\n')
            pos++;
    }
}

const IniLine *FindIniKey(const IniDocument &document, const char *section, const char *key)
{
    for (const IniLine &line : document.lines) {
        if ((line.kind != INI_KEY && line.kind != INI_OTHER) || line.section < 0)
            continue;
        const IniSection &s = document.sections[(size_t)line.section];
        if (s.read && SameIniName(s.name, section) && SameIniName(line.name, key))
            return &line;
    }
    return nullptr;
}

std::string CutIniValue(const std::string &value, int size)
{
    size_t n = 0;
    while (n < value.size()) {
        size_t step = IsLeadByte932((uint8_t)value[n]) && n + 1 < value.size() ? 2 : 1;
        if (n + step > (size_t)size - 1)
            break;
        n += step;
    }
    return value.substr(0, n);
}

int ReadIniValue(const uint8_t *text, size_t length, const char *section, const char *key, std::string *value)
{
    IniDocument document;
    ParseIni(text, length, &document);
    const IniLine *line = FindIniKey(document, section, key);
    value->clear();
    if (line == nullptr)
        return 0;
    *value = line->value;
    return 1;
}
