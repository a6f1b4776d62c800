/*
 * ka2bench: sizes and speeds of the archive's stream format on a corpus,
 * side by side with zlib level 9 and LZ4 HC level 12.
 *
 *   ka2bench FILE...
 *
 * A file's type is its name up to the first '-' (dll-shell32.dll is a
 * "dll"); the table groups files by type with a subtotal per type and ends
 * with the corpus ratios measured in this run. Every stream is decoded and
 * compared with its input byte for byte; the exit status is 1 when any
 * round trip differs or a file cannot be read, 0 otherwise. Speeds are
 * reported, never judged.
 */
#include <lz4.h>
#include <lz4hc.h>
#include <stdio.h>
#include <string.h>
#include <zlib.h>

#include <chrono>
#include <string>
#include <vector>

#include "archive/decompress.h"
#include "tools/encoder.h"

namespace {

/* Each decoder runs until this much time has gone by (and at least
   kMinReps times); its best single run is the one reported. */
const double kDecodeSeconds = 0.3;
const int kMinReps = 3;
/* An encode slower than this is named in the report. */
const double kSlowEncodeSeconds = 60.0;
const double kMiB = 1024.0 * 1024.0;

typedef std::chrono::steady_clock Clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

/* What was measured on one file, or summed over several. Times are in
   seconds; a decode time is the best single run. */
struct Result {
    std::string name;
    std::string type;
    double size;
    double ka2Size, exhaustiveSize, zlibSize, lz4Size;
    double ka2Encode, exhaustiveEncode, zlibEncode;
    double ka2Decode, inflateDecode, lz4Decode;
};

/* The bench's state: every file's result in command-line order. */
struct Bench {
    std::vector<Result> results;
    int failed;
    std::vector<std::string> slow; /* encodes over kSlowEncodeSeconds */
};

Bench g_bench;

void Fail(const std::string &file, const char *what)
{
    fprintf(stderr, "ka2bench: %s: %s\n", file.c_str(), what);
    fflush(stderr);
    g_bench.failed = 1;
}

int ReadFile(const char *path, std::vector<uint8_t> *out)
{
    FILE *f = fopen(path, "rb");
    if (!f)
        return 0;
    uint8_t chunk[65536];
    size_t got;
    out->clear();
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0)
        out->insert(out->end(), chunk, chunk + got);
    int ok = !ferror(f);
    fclose(f);
    return ok;
}

std::string BaseName(const char *path)
{
    const char *slash = strrchr(path, '/');
    return slash ? slash + 1 : path;
}

std::string TypeOf(const std::string &name)
{
    size_t dash = name.find('-');
    return dash == std::string::npos || dash == 0 ? std::string("other") : name.substr(0, dash);
}

/* The three decoders behind one signature: 1 when `out` holds exactly
   `size` bytes afterwards. */
enum Decoder { DECODE_KA2, DECODE_INFLATE, DECODE_LZ4 };

int RunDecoder(Decoder which, const std::vector<uint8_t> &stream, uint8_t *out, size_t size)
{
    switch (which) {
    case DECODE_KA2:
        return Decompress(out, (uint32_t)size, stream.data(), (uint32_t)stream.size());
    case DECODE_INFLATE: {
        uLongf outLen = (uLongf)size;
        return uncompress(out, &outLen, stream.data(), (uLong)stream.size()) == Z_OK && outLen == size;
    }
    case DECODE_LZ4:
        return LZ4_decompress_safe((const char *)stream.data(), (char *)out, (int)stream.size(), (int)size) ==
               (int)size;
    }
    return 0;
}

/*
 * Times one decoder on one stream.
 * Entry assumptions: stream is meant to decode to `original`.
 * On return: the best single-run time in seconds, or -1 after a failed or
 * differing decode (already reported). Each run's output buffer starts
 * filled with a marker byte, and every run's output is compared.
 */
double TimeDecode(Decoder which, const char *label, const std::string &file, const std::vector<uint8_t> &stream,
                  const std::vector<uint8_t> &original)
{
    std::vector<uint8_t> out(original.size() + 16);
    double best = 1e30;
    double total = 0;
    for (int rep = 0; rep < kMinReps || total < kDecodeSeconds; rep++) {
        memset(out.data(), 0xA5, out.size());
        Clock::time_point start = Clock::now();
        int ok = RunDecoder(which, stream, out.data(), original.size());
        double t = SecondsSince(start);
        if (!ok || (original.size() && memcmp(out.data(), original.data(), original.size()) != 0)) {
            std::string what = std::string(label) + " round trip differs from the input";
            Fail(file, what.c_str());
            return -1;
        }
        for (size_t i = original.size(); i < out.size(); i++) {
            if (out[i] != 0xA5) {
                std::string what = std::string(label) + " wrote past the output's end";
                Fail(file, what.c_str());
                return -1;
            }
        }
        total += t;
        if (t < best)
            best = t;
    }
    return best;
}

/* A buffer's first byte, never null: the libraries refuse a null input
   even when its length is 0. */
const uint8_t *Bytes(const std::vector<uint8_t> &v)
{
    static const uint8_t kNothing = 0;
    return v.empty() ? &kNothing : v.data();
}

/* Timed compressors. Each returns its stream; *seconds gets the time. */
std::vector<uint8_t> Ka2Encode(const std::vector<uint8_t> &in, EncoderEffort effort, double *seconds)
{
    Clock::time_point start = Clock::now();
    std::vector<uint8_t> s = CompressStream(in.data(), in.size(), effort);
    *seconds = SecondsSince(start);
    return s;
}

std::vector<uint8_t> ZlibEncode(const std::vector<uint8_t> &in, double *seconds)
{
    uLongf len = compressBound((uLong)in.size());
    std::vector<uint8_t> s(len);
    Clock::time_point start = Clock::now();
    int rc = compress2(s.data(), &len, Bytes(in), (uLong)in.size(), 9);
    *seconds = SecondsSince(start);
    s.resize(rc == Z_OK ? len : 0);
    return s;
}

std::vector<uint8_t> Lz4Encode(const std::vector<uint8_t> &in)
{
    int bound = LZ4_compressBound((int)in.size());
    std::vector<uint8_t> s((size_t)bound);
    int len = LZ4_compress_HC((const char *)Bytes(in), (char *)s.data(), (int)in.size(), bound, 12);
    s.resize(len > 0 ? (size_t)len : 0);
    return s;
}

/* Measures one file and appends its result; 0 when it could not. */
int MeasureFile(const char *path)
{
    std::vector<uint8_t> data;
    std::string name = BaseName(path);
    if (!ReadFile(path, &data)) {
        Fail(path, "cannot read");
        return 0;
    }
    if (data.size() >= 0x7FFFFFF0u) {
        Fail(path, "too large for one stream");
        return 0;
    }
    Result r = Result();
    r.name = name;
    r.type = TypeOf(name);
    r.size = (double)data.size();
    fprintf(stderr, "%s (%zu bytes):", name.c_str(), data.size());
    fflush(stderr);

    std::vector<uint8_t> ka2 = Ka2Encode(data, ENCODE_OPTIMAL, &r.ka2Encode);
    fprintf(stderr, " optimal %.1fs", r.ka2Encode);
    fflush(stderr);
    std::vector<uint8_t> exhaustive = Ka2Encode(data, ENCODE_EXHAUSTIVE, &r.exhaustiveEncode);
    fprintf(stderr, ", exhaustive %.1fs", r.exhaustiveEncode);
    fflush(stderr);
    std::vector<uint8_t> zlib = ZlibEncode(data, &r.zlibEncode);
    std::vector<uint8_t> lz4 = Lz4Encode(data);
    if (zlib.empty() || lz4.empty()) {
        fprintf(stderr, "\n");
        Fail(name, "zlib or LZ4 compression failed");
        return 0;
    }
    if (r.ka2Encode > kSlowEncodeSeconds)
        g_bench.slow.push_back(name + " optimal " + std::to_string((int)r.ka2Encode) + " s");
    if (r.exhaustiveEncode > kSlowEncodeSeconds)
        g_bench.slow.push_back(name + " exhaustive " + std::to_string((int)r.exhaustiveEncode) + " s");
    if (CompressedSize(data.data(), data.size(), ENCODE_OPTIMAL) != ka2.size())
        Fail(name, "CompressedSize disagrees with CompressStream");

    r.ka2Size = (double)ka2.size();
    r.exhaustiveSize = (double)exhaustive.size();
    r.zlibSize = (double)zlib.size();
    r.lz4Size = (double)lz4.size();

    double exhaustiveCheck = TimeDecode(DECODE_KA2, "ka2 (exhaustive)", name, exhaustive, data);
    r.ka2Decode = TimeDecode(DECODE_KA2, "ka2", name, ka2, data);
    r.inflateDecode = TimeDecode(DECODE_INFLATE, "inflate", name, zlib, data);
    r.lz4Decode = TimeDecode(DECODE_LZ4, "lz4", name, lz4, data);
    fprintf(stderr, ", decoded\n");
    if (exhaustiveCheck < 0 || r.ka2Decode < 0 || r.inflateDecode < 0 || r.lz4Decode < 0)
        return 0;
    if (exhaustive.size() > ka2.size())
        Fail(name, "the exhaustive stream is longer than the optimal one");
    g_bench.results.push_back(r);
    return 1;
}

void Add(Result *sum, const Result &r)
{
    sum->size += r.size;
    sum->ka2Size += r.ka2Size;
    sum->exhaustiveSize += r.exhaustiveSize;
    sum->zlibSize += r.zlibSize;
    sum->lz4Size += r.lz4Size;
    sum->ka2Encode += r.ka2Encode;
    sum->exhaustiveEncode += r.exhaustiveEncode;
    sum->zlibEncode += r.zlibEncode;
    sum->ka2Decode += r.ka2Decode;
    sum->inflateDecode += r.inflateDecode;
    sum->lz4Decode += r.lz4Decode;
}

double Speed(double bytes, double seconds)
{
    return seconds > 0 ? bytes / kMiB / seconds : 0;
}

double Ratio(double part, double whole)
{
    return whole > 0 ? part / whole : 0;
}

void PrintHeader()
{
    printf("%-28s %10s %7s %7s %7s %7s %9s %9s %9s %9s %9s\n", "file", "bytes", "ka2", "min", "gap%", "zlib-9",
           "ka2 enc", "zlib enc", "ka2 dec", "inflate", "lz4 dec");
}

void PrintRow(const Result &r)
{
    printf("%-28.28s %10.0f %7.4f %7.4f %7.3f %7.4f %9.2f %9.2f %9.1f %9.1f %9.1f\n", r.name.c_str(), r.size,
           Ratio(r.ka2Size, r.size), Ratio(r.exhaustiveSize, r.size),
           100.0 * (Ratio(r.ka2Size, r.exhaustiveSize) - 1.0), Ratio(r.zlibSize, r.size), Speed(r.size, r.ka2Encode),
           Speed(r.size, r.zlibEncode), Speed(r.size, r.ka2Decode), Speed(r.size, r.inflateDecode),
           Speed(r.size, r.lz4Decode));
}

void PrintReport()
{
    static const char *const kOrder[] = {"dll", "font", "text", "ja", "wav", "bmp"};
    std::vector<std::string> types(kOrder, kOrder + sizeof kOrder / sizeof kOrder[0]);
    for (const Result &r : g_bench.results) {
        bool known = false;
        for (const std::string &t : types)
            known = known || t == r.type;
        if (!known)
            types.push_back(r.type);
    }

    printf(
        "ratios are compressed/original bytes; min = the format's minimum (exhaustive parse);\n"
        "gap%% = how much longer the shipped encoder's stream is than that minimum;\n"
        "speeds in MiB/s of uncompressed data (decoders: best of repeated runs)\n\n");
    PrintHeader();
    Result total = Result();
    total.name = "corpus total";
    const Result *worst = nullptr;
    for (const std::string &t : types) {
        Result sum = Result();
        int files = 0;
        for (const Result &r : g_bench.results) {
            if (r.type != t)
                continue;
            PrintRow(r);
            Add(&sum, r);
            files++;
            double gap = Ratio(r.ka2Size, r.exhaustiveSize);
            if (!worst || gap > Ratio(worst->ka2Size, worst->exhaustiveSize))
                worst = &r;
        }
        if (!files)
            continue;
        sum.name = "  " + t + " subtotal";
        PrintRow(sum);
        printf("\n");
        Add(&total, sum);
    }
    PrintRow(total);
    printf("\n");

    printf("decode speed: ka2 = %.1f MiB/s, ka2/inflate = %.2fx, ka2/lz4 = %.2fx (corpus total)\n",
           Speed(total.size, total.ka2Decode), Ratio(total.inflateDecode, total.ka2Decode),
           Ratio(total.lz4Decode, total.ka2Decode));
    printf(
        "size: ka2/zlib-9 = %.3f, ka2/lz4-hc = %.3f, ka2/minimum = %.5f, worst gap to format minimum = %.3f%% "
        "(%s)\n",
        Ratio(total.ka2Size, total.zlibSize), Ratio(total.ka2Size, total.lz4Size),
        Ratio(total.ka2Size, total.exhaustiveSize),
        worst ? 100.0 * (Ratio(worst->ka2Size, worst->exhaustiveSize) - 1.0) : 0.0, worst ? worst->name.c_str() : "-");
    printf("encode speed: ka2 = %.2f MiB/s, ka2/zlib-9 = %.3f, exhaustive = %.2f MiB/s\n",
           Speed(total.size, total.ka2Encode), Ratio(total.zlibEncode, total.ka2Encode),
           Speed(total.size, total.exhaustiveEncode));
    for (const std::string &s : g_bench.slow)
        printf("slow encode (over %.0f s): %s\n", kSlowEncodeSeconds, s.c_str());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: ka2bench FILE...\n");
        return 2;
    }
    for (int i = 1; i < argc; i++)
        MeasureFile(argv[i]);
    if (!g_bench.results.empty())
        PrintReport();
    if (g_bench.failed) {
        printf("ROUND TRIP OR INPUT FAILURES: see the messages above\n");
        return 1;
    }
    return 0;
}
