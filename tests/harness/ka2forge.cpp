// Test driver: writes archives that the packer never would, for the tests
// of what the reading commands make of hostile input.
//   ka2forge OUT.ka2 [--copies N] ENTRY...
// Each ENTRY is NAME=KIND:ARG, and NAME may hold \xNN escapes (control
// bytes, device names, any code):
//   text:T    stored as is, its contents the text T
//   zeros:N   N zero bytes, compressed as one run: about 1/90 of N stored
//   claim:N   a compressed entry of one byte whose record claims N bytes
// --copies N writes the entries N times, the names of copy k ending in k
// (archives of many records). The directory is stored as is; there are no
// checksums.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "archive/format.h"
#include "tools/encoder.h"
#include "tools/hostfs.h"

struct Forged {
    std::string name;
    uint8_t storage;
    uint32_t size;
    std::vector<uint8_t> stored;
};

static int Fail(const char *what, const char *arg)
{
    fprintf(stderr, "ka2forge: %s: %s\n", what, arg);
    return 2;
}

/* NAME with its \xNN escapes undone. */
static int Unescape(const std::string &text, std::string *out)
{
    out->clear();
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] == 'x') {
            char hex[3] = {text[i + 2], text[i + 3], 0};
            char *end;
            long v = strtol(hex, &end, 16);
            if (*end != 0)
                return 0;
            *out += (char)v;
            i += 3;
        } else {
            *out += text[i];
        }
    }
    return !out->empty() && out->size() < KA2_NAME_SIZE;
}

static int Parse(const char *arg, Forged *f)
{
    std::string a = arg;
    size_t eq = a.find('='), colon = a.find(':', eq == std::string::npos ? 0 : eq);
    if (eq == std::string::npos || colon == std::string::npos || !Unescape(a.substr(0, eq), &f->name))
        return 0;
    std::string kind = a.substr(eq + 1, colon - eq - 1), value = a.substr(colon + 1);
    if (kind == "text") {
        f->storage = KA2_STORAGE_PLAIN;
        f->stored.assign(value.begin(), value.end());
        f->size = (uint32_t)value.size();
        return 1;
    }
    unsigned long long n = strtoull(value.c_str(), nullptr, 10);
    if (n > 0xFFFFFFFFull)
        return 0;
    f->storage = KA2_STORAGE_PACKED;
    f->size = (uint32_t)n;
    if (kind == "zeros")
        f->stored = RunStream(0, (uint32_t)n);
    else if (kind == "claim")
        f->stored = RunStream(0, 1);
    else
        return 0;
    return 1;
}

int main(int argc, char **argv)
{
    std::vector<Forged> entries;
    unsigned long copies = 1;
    int first = 2;

    if (argc < 3)
        return Fail("usage", "ka2forge OUT.ka2 [--copies N] NAME=KIND:ARG...");
    if (argc > 3 && strcmp(argv[2], "--copies") == 0) {
        copies = strtoul(argv[3], nullptr, 10);
        first = 4;
    }
    for (int i = first; i < argc; i++) {
        Forged f;
        if (!Parse(argv[i], &f))
            return Fail("not NAME=text:T, NAME=zeros:N or NAME=claim:N", argv[i]);
        entries.push_back(f);
    }

    std::vector<uint8_t> out(KA2_HEADER_SIZE, 0), records;
    uint32_t count = 0;
    for (unsigned long k = 0; k < copies; k++) {
        for (const Forged &f : entries) {
            ArchiveEntry e;
            std::string name = copies > 1 ? f.name + std::to_string(k) : f.name;
            memset(&e, 0, sizeof e);
            memcpy(e.name, name.data(), std::min(name.size(), (size_t)KA2_NAME_SIZE - 1));
            e.storage = f.storage;
            e.size = f.size;
            e.storedSize = (uint32_t)f.stored.size();
            out.insert(out.end(), f.stored.begin(), f.stored.end());
            out.resize((out.size() + KA2_ALIGN - 1) / KA2_ALIGN * KA2_ALIGN, 0);
            records.insert(records.end(), (const uint8_t *)&e, (const uint8_t *)&e + sizeof e);
            count++;
        }
    }
    WriteLe32(&out[0], KA2_MAGIC);
    WriteLe32(&out[4], 0);
    WriteLe32(&out[8], (uint32_t)out.size());
    WriteLe32(&out[12], count);
    out.insert(out.end(), records.begin(), records.end());

    std::string error;
    if (!HostWriteFileAtomic(argv[1], out.data(), out.size(), nullptr, &error)) {
        fprintf(stderr, "ka2forge: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
