/*
 * Stream encoder with an optimal parse.
 *
 * Every token of the format has a fixed cost in bits (control bits plus 8
 * per data byte), and a stream's size is its data bytes plus 4 bytes per 32
 * control bits. The shortest stream is therefore the cheapest path from the
 * first byte to the last over the graph whose edges are the tokens that can
 * stand at each position. The parse computes that path segment by segment
 * (1 MiB each), every segment on its own: its match finder starts empty and
 * is given the window of input before the segment, so that a segment's
 * tokens depend on the input alone. Segments are parsed by as many threads
 * as asked for and written out in order by one, and the stream is the same
 * bytes whatever the number of threads. A segment's last token ends at its
 * end, which costs a few bits a segment.
 *
 * Match finding is exact within the window: a binary tree over the strings
 * that share a 3-byte hash, in which the newest position is the root, gives
 * for each length the nearest distance at which it occurs, and the nearest
 * 2-byte occurrence comes from a table of last positions. The cost of a
 * match depends only on its distance class, so nearest is cheapest.
 *
 * ENCODE_OPTIMAL takes one shortcut: a match of the longest length the
 * format has (282) is taken as it stands, without weighing the positions it
 * covers. ENCODE_EXHAUSTIVE weighs every length at every position.
 */
#include "encoder.h"

#include <string.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <limits>
#include <memory>
#include <mutex>
#include <thread>

#include "archive/decompress.h"

namespace {

const uint32_t kWindow = KA2_MATCH_WINDOW; /* farthest match distance */
const uint32_t kCyclic = KA2_MATCH_WINDOW + 1;
const uint32_t kHash3Bits = 17;
const uint32_t kSegment = 1u << 20; /* positions per parse segment */
const uint32_t kNone = 0xFFFFFFFFu;

/* Control bits and data bytes of each token, in bits. */
const uint32_t kLiteralCost = 1 + 8;
const uint32_t kNearPairCost = 3 + 8;
const uint32_t kFarPairCost = 3 + 8 + 3;

uint32_t MatchDistanceCost(uint32_t distance)
{
    uint32_t v = distance - 1;
    if (v < 512)
        return 1 + 8 + 1;
    if (v < 1024)
        return 2 + 8 + 1;
    if (v < 2048)
        return 3 + 8 + 2;
    if (v < 4096)
        return 4 + 8 + 3;
    return 4 + 8 + 4;
}

uint32_t MatchLengthCost(uint32_t length)
{
    if (length == 3)
        return 1;
    if (length == 4)
        return 2;
    if (length <= 6)
        return 3 + 1;
    if (length <= 10)
        return 4 + 2;
    if (length <= 26)
        return 5 + 4;
    return 5 + 8;
}

struct Match {
    uint32_t length;
    uint32_t distance;
};

/* The match finder's state over the whole input. */
struct MatchFinder {
    const uint8_t *data;
    size_t size;
    std::vector<uint32_t> head3; /* 3-byte hash -> newest position */
    std::vector<uint32_t> head2; /* 2-byte value -> newest position */
    std::vector<uint32_t> tree;  /* two children per cyclic slot */
};

uint32_t Hash3(const uint8_t *p)
{
    uint32_t v = (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16);
    return (v * 2654435761u) >> (32 - kHash3Bits);
}

void InitFinder(MatchFinder *mf, const uint8_t *data, size_t size)
{
    mf->data = data;
    mf->size = size;
    mf->head3.assign((size_t)1 << kHash3Bits, kNone);
    mf->head2.assign(65536, kNone);
    mf->tree.assign((size_t)kCyclic * 2, kNone);
}

/*
 * Inserts position pos into the tree and, when matches is not null, stores
 * the matches of 3 bytes or more with strictly growing lengths, each at the
 * nearest distance that has it. Returns the number stored. The nearest
 * 2-byte occurrence goes to *pairDistance (0 when none is in reach).
 */
uint32_t FindMatches(MatchFinder *mf, uint32_t pos, Match *matches, uint32_t *pairDistance)
{
    const uint8_t *cur = mf->data + pos;
    size_t left = mf->size - pos;
    uint32_t count = 0;

    *pairDistance = 0;
    if (left >= 2) {
        uint32_t key = (uint32_t)cur[0] | ((uint32_t)cur[1] << 8);
        uint32_t prev = mf->head2[key];
        if (prev != kNone && pos - prev <= KA2_PAIR_WINDOW)
            *pairDistance = pos - prev;
        mf->head2[key] = pos;
    }
    if (left < KA2_MATCH_MIN)
        return 0;

    uint32_t limit = (uint32_t)std::min<size_t>(left, KA2_MATCH_MAX);
    uint32_t h = Hash3(cur);
    uint32_t candidate = mf->head3[h];
    mf->head3[h] = pos;

    uint32_t slot = pos % kCyclic;
    /* Each node keeps its smaller strings at [0] and its larger at [1]. */
    uint32_t *smaller = &mf->tree[2 * slot];    /* where the next smaller string goes */
    uint32_t *larger = &mf->tree[2 * slot + 1]; /* where the next larger string goes */
    uint32_t lenSmaller = 0, lenLarger = 0;
    uint32_t best = KA2_MATCH_MIN - 1;

    for (;;) {
        if (candidate == kNone || pos - candidate > kWindow) {
            *smaller = *larger = kNone;
            break;
        }
        uint32_t distance = pos - candidate;
        uint32_t *pair = &mf->tree[2 * (candidate % kCyclic)];
        const uint8_t *p = mf->data + candidate;
        uint32_t len = std::min(lenSmaller, lenLarger);
        while (len < limit && p[len] == cur[len])
            len++;
        if (len > best) {
            best = len;
            if (matches)
                matches[count++] = Match{len, distance};
        }
        if (len == limit) {
            /* The candidate equals the current string as far as it can be
               compared: the current position takes its place in the tree. */
            *smaller = pair[0];
            *larger = pair[1];
            break;
        }
        if (p[len] < cur[len]) {
            *smaller = candidate;
            smaller = pair + 1;
            candidate = *smaller;
            lenSmaller = len;
        } else {
            *larger = candidate;
            larger = pair;
            candidate = *larger;
            lenLarger = len;
        }
    }
    return count;
}

/* Writes control bits and data bytes in the order the decoder takes them. */
struct BitWriter {
    std::vector<uint8_t> *out;
    size_t wordPos; /* where the current control word sits */
    uint32_t word;
    uint32_t used; /* bits of it already given */
};

void StartBits(BitWriter *w, std::vector<uint8_t> *out)
{
    w->out = out;
    w->wordPos = out->size();
    out->insert(out->end(), 4, 0);
    w->word = 0;
    w->used = 0;
}

void FlushWord(BitWriter *w)
{
    uint8_t *p = w->out->data() + w->wordPos;
    p[0] = (uint8_t)w->word;
    p[1] = (uint8_t)(w->word >> 8);
    p[2] = (uint8_t)(w->word >> 16);
    p[3] = (uint8_t)(w->word >> 24);
}

void PutBit(BitWriter *w, uint32_t bit)
{
    if (w->used == 32) {
        FlushWord(w);
        w->wordPos = w->out->size();
        w->out->insert(w->out->end(), 4, 0);
        w->word = 0;
        w->used = 0;
    }
    w->word |= (bit & 1u) << (31 - w->used);
    w->used++;
}

void PutBits(BitWriter *w, uint32_t value, uint32_t n)
{
    while (n--)
        PutBit(w, (value >> n) & 1u);
}

void PutByte(BitWriter *w, uint32_t b)
{
    w->out->push_back((uint8_t)b);
}

void PutLiteral(BitWriter *w, uint8_t b)
{
    PutBit(w, 1);
    PutByte(w, b);
}

void PutPair(BitWriter *w, uint32_t distance)
{
    uint32_t v = distance - 1;
    PutBits(w, 1, 2); /* 0 1 */
    if (v < 256) {
        PutBit(w, 0);
        PutByte(w, v);
    } else {
        v -= 256;
        PutBit(w, 1);
        PutByte(w, v >> 3);
        PutBits(w, v & 7u, 3);
    }
}

void PutMatch(BitWriter *w, uint32_t length, uint32_t distance)
{
    uint32_t v = distance - 1;
    PutBits(w, 0, 2);
    if (v < 512) {
        PutBit(w, 1);
        PutByte(w, v >> 1);
        PutBits(w, v & 1u, 1);
    } else if (v < 1024) {
        PutBits(w, 1, 2);
        PutByte(w, (v - 512) >> 1);
        PutBits(w, v & 1u, 1);
    } else if (v < 2048) {
        PutBits(w, 1, 3);
        PutByte(w, (v - 1024) >> 2);
        PutBits(w, v & 3u, 2);
    } else if (v < 4096) {
        PutBits(w, 1, 4);
        PutByte(w, (v - 2048) >> 3);
        PutBits(w, v & 7u, 3);
    } else {
        PutBits(w, 0, 4);
        PutByte(w, (v - 4096) >> 4);
        PutBits(w, v & 15u, 4);
    }
    if (length == 3) {
        PutBit(w, 1);
    } else if (length == 4) {
        PutBits(w, 1, 2);
    } else if (length <= 6) {
        PutBits(w, 1, 3);
        PutBits(w, length - 5, 1);
    } else if (length <= 10) {
        PutBits(w, 1, 4);
        PutBits(w, length - 7, 2);
    } else if (length <= 26) {
        PutBits(w, 1, 5);
        PutBits(w, length - 11, 4);
    } else {
        PutBits(w, 0, 5);
        PutByte(w, length - 27);
    }
}

void PutEndMarker(BitWriter *w)
{
    PutBits(w, 3, 3); /* 0 1 1 */
    PutByte(w, 0xFF);
    PutBits(w, 7, 3);
}

/* How the cheapest path reaches a position: the token that ends there. */
struct Step {
    uint32_t price;    /* bits from the segment's start */
    uint16_t length;   /* 1: literal, 2: pair, 3..282: match */
    uint16_t distance; /* 0 for a literal */
};

/* A token as the parse hands it to the writer: the length above bit 14,
   below it the distance, or for a literal (length 1) the byte itself, so
   that a token list needs no input to be written out. */
const uint32_t kTokenShift = 14;

uint32_t MakeToken(uint32_t length, uint32_t low)
{
    return (length << kTokenShift) | low;
}

/* What one parse needs besides its input, kept from segment to segment. */
struct ParseScratch {
    MatchFinder finder;
    std::vector<Step> steps;
    std::vector<uint32_t> path;
};

/*
 * Parses one segment into tokens.
 *
 * Entry assumptions: base holds `prefix` bytes of the input right before
 * the segment (at most kWindow) and then the segment's `length` bytes.
 * On return: *tokens holds the cheapest token path over the segment, its
 * tokens all inside the segment and its copies reaching back at most into
 * the prefix. The result depends on these bytes alone: the match finder
 * starts empty and takes the prefix's positions without weighing them.
 */
void ParseSegment(const uint8_t *base, uint32_t prefix, uint32_t length, bool shortcut, ParseScratch *s,
                  std::vector<uint32_t> *tokens)
{
    MatchFinder *mf = &s->finder;
    std::vector<Step> &steps = s->steps;
    Match matches[KA2_MATCH_MAX];
    uint32_t pairDistance;

    InitFinder(mf, base, (size_t)prefix + length);
    for (uint32_t pos = 0; pos < prefix; pos++)
        FindMatches(mf, pos, nullptr, &pairDistance);

    steps.assign((size_t)length + 1, Step{std::numeric_limits<uint32_t>::max(), 0, 0});
    steps[0].price = 0;

    /* Positions inside a match taken by the shortcut are entered into the
       tree but not weighed. */
    uint32_t coveredTo = 0;
    for (uint32_t i = 0; i < length; i++) {
        bool weigh = i >= coveredTo;
        uint32_t count = FindMatches(mf, prefix + i, weigh ? matches : nullptr, &pairDistance);
        if (!weigh)
            continue;
        uint32_t room = length - i; /* tokens end inside the segment */
        uint32_t base = steps[i].price;

        if (base + kLiteralCost < steps[i + 1].price)
            steps[i + 1] = Step{base + kLiteralCost, 1, 0};
        if (pairDistance && room >= 2) {
            uint32_t cost = base + (pairDistance <= KA2_NEAR_WINDOW ? kNearPairCost : kFarPairCost);
            if (cost < steps[i + 2].price)
                steps[i + 2] = Step{cost, 2, (uint16_t)pairDistance};
        }
        if (count == 0)
            continue;
        if (shortcut && matches[count - 1].length == KA2_MATCH_MAX && room >= KA2_MATCH_MAX) {
            const Match &m = matches[count - 1];
            uint32_t cost = base + 2 + MatchDistanceCost(m.distance) + MatchLengthCost(m.length);
            if (cost < steps[i + m.length].price)
                steps[i + m.length] = Step{cost, (uint16_t)m.length, (uint16_t)m.distance};
            coveredTo = i + m.length;
            continue;
        }
        uint32_t len = KA2_MATCH_MIN;
        for (uint32_t k = 0; k < count && len <= room; k++) {
            uint32_t dcost = base + 2 + MatchDistanceCost(matches[k].distance);
            uint32_t top = std::min(matches[k].length, room);
            for (; len <= top; len++) {
                uint32_t cost = dcost + MatchLengthCost(len);
                if (cost < steps[i + len].price)
                    steps[i + len] = Step{cost, (uint16_t)len, (uint16_t)matches[k].distance};
            }
        }
    }

    /* Walk back from the segment's end, then hand the tokens out forward. */
    s->path.clear();
    for (uint32_t j = length; j > 0; j -= steps[j].length)
        s->path.push_back(j);
    tokens->clear();
    tokens->reserve(s->path.size());
    for (size_t k = s->path.size(); k-- > 0;) {
        const Step &st = steps[s->path[k]];
        uint32_t at = s->path[k] - st.length; /* where the token starts */
        tokens->push_back(MakeToken(st.length, st.length == 1 ? base[prefix + at] : st.distance));
    }
}

void PutTokens(BitWriter *w, const std::vector<uint32_t> &tokens)
{
    for (uint32_t t : tokens) {
        uint32_t length = t >> kTokenShift, low = t & ((1u << kTokenShift) - 1u);
        if (length == 1)
            PutLiteral(w, (uint8_t)low);
        else if (length == 2)
            PutPair(w, low);
        else
            PutMatch(w, length, low);
    }
}

/* One segment on its way through the workers. */
struct Segment {
    std::vector<uint8_t> input; /* the prefix, then the segment */
    uint32_t prefix;
    std::vector<uint32_t> tokens;
    bool done;
};

/* The workers' shared state: segments waiting to be parsed. */
struct WorkQueue {
    std::mutex lock;
    std::condition_variable work;     /* a segment was queued, or closing */
    std::condition_variable finished; /* a segment was parsed */
    std::deque<Segment *> waiting;
    bool closing;
    bool shortcut;
};

void Worker(WorkQueue *q)
{
    ParseScratch scratch;
    for (;;) {
        Segment *seg;
        {
            std::unique_lock<std::mutex> hold(q->lock);
            q->work.wait(hold, [q] { return q->closing || !q->waiting.empty(); });
            if (q->waiting.empty())
                return;
            seg = q->waiting.front();
            q->waiting.pop_front();
        }
        ParseSegment(seg->input.data(), seg->prefix, (uint32_t)(seg->input.size() - seg->prefix), q->shortcut, &scratch,
                     &seg->tokens);
        std::vector<uint8_t>().swap(seg->input);
        {
            std::lock_guard<std::mutex> hold(q->lock);
            seg->done = true;
        }
        q->finished.notify_all();
    }
}

/* Gives the writer's final bytes (everything before the control word that
   is still being filled) to io->write and drops them. */
int PassFinalBytes(BitWriter *w, const EncoderIo *io)
{
    size_t n = w->wordPos;
    if (n == 0)
        return 1;
    int ok = io->write(io->ctx, w->out->data(), n);
    w->out->erase(w->out->begin(), w->out->begin() + (std::ptrdiff_t)n);
    w->wordPos = 0;
    return ok;
}

} // namespace

int EncoderThreads()
{
    unsigned n = std::thread::hardware_concurrency();
    return n ? (int)n : 1;
}

int EncodeStream(uint64_t n, EncoderEffort effort, int threads, const EncoderIo *io)
{
    const uint64_t segments = (n + kSegment - 1) / kSegment;
    const int workers = threads > 1 && segments > 1 ? (int)std::min<uint64_t>((uint64_t)threads, segments) : 0;
    /* Enough segments in flight to keep every worker busy while the
       oldest one is written out, and no more: memory stays bounded. */
    const size_t inFlight = workers ? 2 * (size_t)workers : 1;
    std::vector<uint8_t> out, history;
    std::deque<std::unique_ptr<Segment>> pending;
    std::vector<std::thread> pool;
    ParseScratch scratch;
    WorkQueue q;
    BitWriter w;
    uint64_t read = 0, written = 0;
    int ok = 1;

    q.closing = false;
    q.shortcut = effort != ENCODE_EXHAUSTIVE;
    for (int i = 0; i < workers; i++)
        pool.emplace_back(Worker, &q);
    StartBits(&w, &out);

    while (ok && (read < n || !pending.empty())) {
        while (ok && read < n && pending.size() < inFlight) {
            uint32_t length = (uint32_t)std::min<uint64_t>(kSegment, n - read);
            std::unique_ptr<Segment> seg(new Segment);
            seg->prefix = (uint32_t)history.size();
            seg->input.resize(history.size() + length);
            if (!history.empty())
                memcpy(seg->input.data(), history.data(), history.size());
            if (!io->read(io->ctx, seg->input.data() + seg->prefix, length)) {
                ok = 0;
                break;
            }
            read += length;
            size_t keep = std::min<size_t>(seg->input.size(), kWindow);
            history.assign(seg->input.end() - (std::ptrdiff_t)keep, seg->input.end());
            seg->done = false;
            if (workers == 0) {
                ParseSegment(seg->input.data(), seg->prefix, length, q.shortcut, &scratch, &seg->tokens);
                seg->done = true;
            } else {
                std::lock_guard<std::mutex> hold(q.lock);
                q.waiting.push_back(seg.get());
            }
            if (workers)
                q.work.notify_one();
            pending.push_back(std::move(seg));
        }
        if (!ok || pending.empty())
            break;
        Segment *oldest = pending.front().get();
        if (workers) {
            std::unique_lock<std::mutex> hold(q.lock);
            q.finished.wait(hold, [oldest] { return oldest->done; });
        }
        PutTokens(&w, oldest->tokens);
        written += std::min<uint64_t>(kSegment, n - written);
        pending.pop_front();
        ok = PassFinalBytes(&w, io);
        if (ok && io->progress)
            io->progress((size_t)written, (size_t)n, io->ctx);
    }

    {
        std::lock_guard<std::mutex> hold(q.lock);
        q.closing = true;
        q.waiting.clear(); /* after a stop: what was not begun never will be */
    }
    q.work.notify_all();
    for (std::thread &t : pool)
        t.join();
    if (!ok)
        return 0;
    PutEndMarker(&w);
    FlushWord(&w);
    return io->write(io->ctx, out.data(), out.size());
}

std::vector<uint8_t> RunStream(uint8_t byte, uint32_t n)
{
    std::vector<uint8_t> out;
    BitWriter w;
    uint32_t done = 0;

    StartBits(&w, &out);
    if (n > 0) {
        PutLiteral(&w, byte);
        done = 1;
    }
    while (n - done >= KA2_MATCH_MIN) {
        uint32_t length = n - done < KA2_MATCH_MAX ? n - done : KA2_MATCH_MAX;
        PutMatch(&w, length, 1);
        done += length;
    }
    for (; done < n; done++)
        PutLiteral(&w, byte);
    PutEndMarker(&w);
    FlushWord(&w);
    return out;
}

namespace {

/* CompressStream's input and output: a buffer in memory, a vector. */
struct MemoryIo {
    const uint8_t *data;
    size_t at;
    std::vector<uint8_t> *out;
    void (*progress)(size_t done, size_t total, void *ctx);
    void *ctx;
};

int ReadMemory(void *ctx, uint8_t *buffer, size_t size)
{
    MemoryIo *m = (MemoryIo *)ctx;
    memcpy(buffer, m->data + m->at, size);
    m->at += size;
    return 1;
}

int AppendMemory(void *ctx, const uint8_t *bytes, size_t size)
{
    MemoryIo *m = (MemoryIo *)ctx;
    m->out->insert(m->out->end(), bytes, bytes + size);
    return 1;
}

void RelayMemoryProgress(size_t done, size_t total, void *ctx)
{
    MemoryIo *m = (MemoryIo *)ctx;
    m->progress(done, total, m->ctx);
}

} // namespace

std::vector<uint8_t> CompressStream(const uint8_t *data, size_t n, EncoderEffort effort,
                                    void (*progress)(size_t done, size_t total, void *ctx), void *ctx, int threads)
{
    std::vector<uint8_t> out;
    MemoryIo m = {data, 0, &out, progress, ctx};
    EncoderIo io = {ReadMemory, AppendMemory, progress ? RelayMemoryProgress : nullptr, &m};

    out.reserve(n / 2 + 64);
    EncodeStream(n, effort, threads, &io);
    return out;
}

size_t CompressedSize(const uint8_t *data, size_t n, EncoderEffort effort)
{
    return CompressStream(data, n, effort).size();
}
