// A probe, run by hand (not built, not in CI): how small a zstd frame our own parse of NEW against
// OLD makes when only zstd's entropy stage is used (ZSTD_compressSequences), against what the
// builder's level-19 frame makes. The frame is an ordinary one, decoded with OLD as its prefix
// and checked here. Matches come from a suffix array of OLD, hash chains over NEW, and zstd's
// repeat offsets; a forward optimal parse chooses among them by price, from fixed prices on the
// first pass and from the last pass's statistics after.
//
//   g++ -O2 -o parse_probe scripts/bench/parse_probe.cpp -lzstd -ldivsufsort
//   parse_probe OLD NEW      knobs: DEPTH (chain depth, 32), PASSES (2), SUFF (a match this long
//                            is taken at once, 96), SAW (suffix-array neighbours each way, 8),
//                            HL (hashed bytes, 6), SAMIN (shortest suffix-array match, 4)
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <divsufsort.h>
#include <cstdio>
#include <cstring>
#include <vector>
#include <chrono>
#include <cstdint>
#include <cmath>
#include <algorithm>
using namespace std;
static vector<uint8_t> Load(const char* p)
{
    FILE* f = fopen(p, "rb");
    vector<uint8_t> v;
    if (f == nullptr || fseek(f, 0, SEEK_END) != 0) {
        fprintf(stderr, "cannot read %s\n", p);
        exit(1);
    }
    v.resize(ftell(f));
    fseek(f, 0, SEEK_SET);
    if (fread(v.data(), 1, v.size(), f) != v.size()) {
        fprintf(stderr, "cannot read %s\n", p);
        exit(1);
    }
    fclose(f);
    return v;
}
static inline size_t Common(const uint8_t* a, const uint8_t* b, size_t max)
{
    size_t n = 0;
    while (n + 8 <= max) {
        uint64_t x, y;
        memcpy(&x, a + n, 8);
        memcpy(&y, b + n, 8);
        if (x != y)
            return n + (__builtin_ctzll(x ^ y) >> 3);
        n += 8;
    }
    while (n < max && a[n] == b[n])
        ++n;
    return n;
}
static double now() { return chrono::duration<double>(chrono::steady_clock::now().time_since_epoch()).count(); }
static int ilog2(uint64_t v) { return 63 - __builtin_clzll(v | 1); }
struct Cand {
    uint32_t len;
    uint32_t off;
};
int main(int argc, char** argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: parse_probe OLD NEW\n");
        return 2;
    }
    auto old = Load(argv[1]);
    auto nw = Load(argv[2]);
    int level = 19;
    int SAMIN = getenv("SAMIN") ? atoi(getenv("SAMIN")) : 4;
    int DEPTH = getenv("DEPTH") ? atoi(getenv("DEPTH")) : 32;
    int SUFF = getenv("SUFF") ? atoi(getenv("SUFF")) : 96;
    int SAW = getenv("SAW") ? atoi(getenv("SAW")) : 8;
    double t0 = now();
    size_t O = old.size(), N = nw.size(), T = O + N;
    vector<uint8_t> W(T + 8);
    memcpy(W.data(), old.data(), O);
    memcpy(W.data() + O, nw.data(), N);
    vector<int32_t> sa(O);
    divsufsort(old.data(), sa.data(), (int32_t)O);
    double t1 = now();
    // literal prices from byte frequencies of new
    double litPrice[256];
    {
        vector<double> f(256, 1);
        for (auto b : nw)
            f[b]++;
        for (int i = 0; i < 256; i++)
            litPrice[i] = log2((double)(N + 256) / f[i]);
    }
    auto saFind = [&](size_t p, size_t max, vector<Cand>& out) {
        const uint8_t* d = W.data() + p;
        if (O == 0)
            return;
        size_t lo = 0, hi = O - 1;
        while (hi - lo > 1) {
            size_t mid = lo + (hi - lo) / 2;
            const uint8_t* s = old.data() + sa[mid];
            size_t sS = O - sa[mid];
            size_t c = Common(s, d, min(sS, max));
            bool before = c == sS || (c < max && s[c] < d[c]);
            if (c == max)
                before = false;
            (before ? lo : hi) = mid;
        }
        // walk neighbours both ways: lcp shrinks; keep nearest offset per length
        for (int dir = 0; dir < 2; dir++) {
            size_t r = dir == 0 ? lo : hi;
            size_t bestLen = SIZE_MAX;
            for (int k = 0; k < SAW; k++) {
                size_t pos = sa[r];
                size_t l = Common(old.data() + pos, d, min(O - pos, max));
                if (l < (size_t)SAMIN)
                    break;
                if (l > bestLen)
                    l = bestLen;
                bestLen = l;
                out.push_back({(uint32_t)l, (uint32_t)(p - pos)});
                if (dir == 0) {
                    if (r == 0)
                        break;
                    r--;
                } else {
                    if (r + 1 >= O)
                        break;
                    r++;
                }
            }
        }
    };
    int HL = getenv("HL") ? atoi(getenv("HL")) : 6;
    const int HB = 22;
    vector<int32_t> ht(1u << HB, -1), prv(N, -1);
    size_t inserted = O;
    auto h6 = [&](size_t p) {
        uint64_t x = 0;
        memcpy(&x, W.data() + p, HL);
        return (uint32_t)((x * 0x9E3779B97F4A7C15ull) >> (64 - HB));
    };
    auto insertUpTo = [&](size_t p) {
        for (; inserted < p; ++inserted)
            if (inserted + 8 <= T) {
                uint32_t h = h6(inserted);
                prv[inserted - O] = ht[h];
                ht[h] = (int32_t)inserted;
            }
    };
    auto chainFind = [&](size_t p, size_t max, vector<Cand>& out) {
        if (max < 8)
            return;
        insertUpTo(p);
        int32_t c = ht[h6(p)];
        for (int d = 0; c >= 0 && d < DEPTH; d++, c = prv[c - O]) {
            size_t l = Common(W.data() + p, W.data() + c, max);
            if (l >= (size_t)HL)
                out.push_back({(uint32_t)l, (uint32_t)(p - c)});
        }
    };
    // zstd's repcode rules: which repcode (1..3) a raw offset gets, or 0 for a full offset
    auto repCodeOf = [&](const uint32_t* r, uint32_t off, uint32_t litLen) -> int {
        bool ll0 = litLen == 0;
        if (!ll0 && off == r[0])
            return 1;
        if (off == r[1])
            return 2 - ll0;
        if (off == r[2])
            return 3 - ll0;
        if (ll0 && off == r[0] - 1)
            return 3;
        return 0;
    };
    auto updRep = [&](uint32_t* r, uint32_t off, uint32_t litLen) {
        int code = repCodeOf(r, off, litLen);
        bool ll0 = litLen == 0;
        if (code == 0) {
            r[2] = r[1];
            r[1] = r[0];
            r[0] = off;
            return;
        }
        uint32_t repCode = code - 1 + ll0;
        if (repCode > 0) {
            uint32_t cur = repCode == 3 ? r[0] - 1 : r[repCode];
            r[2] = repCode >= 2 ? r[1] : r[2];
            r[1] = r[0];
            r[0] = cur;
        }
    };
    double ofCodeP[64], mlP[1024], llCodeP[64], repP[3];
    for (int i = 0; i < 64; i++) {
        ofCodeP[i] = 6;
        llCodeP[i] = 2 + i * 0.5;
    }
    for (int i = 0; i < 1024; i++)
        mlP[i] = 3 + ilog2(i) * 0.6;
    repP[0] = 1.5;
    repP[1] = 3;
    repP[2] = 3;
    auto offPrice = [&](uint32_t off) -> double {
        int c = ilog2(off);
        return ofCodeP[c] + c;
    };
    auto mlPrice = [&](uint32_t l) -> double { return l < 1024 ? mlP[l] : mlP[1023] + ilog2(l); };
    struct Node {
        double price;
        uint32_t from;
        uint32_t len;
        uint32_t off;
        uint32_t lit;
        uint32_t rep[3];
    };
    vector<ZSTD_Sequence> seqs;
    uint32_t rep[3] = {1, 4, 8};
    size_t p = O, litStart = O;
    int PASSES = getenv("PASSES") ? atoi(getenv("PASSES")) : 2;
    for (int pass = 0; pass < PASSES; pass++) {
        if (pass > 0) {  // prices from the last pass
            vector<double> lf(256, 1), of(64, 1), ml(1024, 1), ll(64, 1), rp(4, 1);
            uint32_t r3[3] = {1, 4, 8};
            size_t at = O;
            for (auto& q : seqs) {
                for (size_t k = 0; k < q.litLength; k++)
                    lf[W[at + k]]++;
                at += q.litLength + q.matchLength;
                ll[q.litLength == 0 ? 0 : min(63, 1 + ilog2(q.litLength))]++;
                ml[min(1023u, q.matchLength)]++;
                int rk = repCodeOf(r3, q.offset, q.litLength) - 1;
                if (rk >= 0)
                    rp[rk]++;
                else {
                    rp[3]++;
                    of[ilog2(q.offset)]++;
                }
                updRep(r3, q.offset, q.litLength);
            }
            double tl = 0;
            for (auto v : lf)
                tl += v;
            for (int i = 0; i < 256; i++)
                litPrice[i] = log2(tl / lf[i]);
            double tr = rp[0] + rp[1] + rp[2] + rp[3];
            double to = 0;
            for (auto v : of)
                to += v;
            for (int i = 0; i < 64; i++)
                ofCodeP[i] = log2(tr / rp[3]) + log2(to / of[i]);
            for (int k = 0; k < 3; k++)
                repP[k] = log2(tr / rp[k]);
            // ml: bucketed smoothing
            double tm = 0;
            for (auto v : ml)
                tm += v;
            for (int i = 3; i < 1024; i++) {
                int b = ilog2(i);
                double bs = 0;
                int cnt = 0;
                for (int j = (1 << b); j < min(1024, 2 << b); j++) {
                    bs += ml[j];
                    cnt++;
                }
                mlP[i] = log2(tm / (bs / cnt));
            }
            double tll = 0;
            for (auto v : ll)
                tll += v;
            for (int i = 0; i < 64; i++)
                llCodeP[i] = log2(tll / ll[i]) + (i > 0 ? i - 1 : 0);
            seqs.clear();
            rep[0] = 1;
            rep[1] = 4;
            rep[2] = 8;
            p = O;
            litStart = O;
            fill(ht.begin(), ht.end(), -1);
            inserted = O;
        }
        const size_t MAXSEG = 2048;
        vector<Node> nd(MAXSEG + 1024);
        vector<Cand> cands;
        auto emit = [&](size_t at, uint32_t len, uint32_t off) {
            ZSTD_Sequence s{};
            s.offset = off;
            s.litLength = (unsigned)(at - litStart);
            s.matchLength = len;
            seqs.push_back(s);
            updRep(rep, off, s.litLength);
            litStart = at + len;
        };
        while (p < T) {
            // DP segment starting at p
            size_t segMax = min(MAXSEG, T - p);
            for (size_t i = 0; i <= segMax + SUFF + 1 && i < nd.size(); i++)
                nd[i].price = 1e18;
            nd[0].price = 0;
            nd[0].lit = (uint32_t)(p - litStart);
            memcpy(nd[0].rep, rep, sizeof rep);
            nd[0].len = 0;
            size_t endAt = SIZE_MAX;
            uint32_t longLen = 0, longOff = 0;
            size_t i = 0;
            for (; i < segMax; i++) {
                if (nd[i].price >= 1e17)
                    continue;
                size_t q = p + i, max = T - q;
                if (max < 4)
                    continue;
                cands.clear();
                for (int k = 0; k < 4; k++) {
                    uint32_t r = k < 3 ? nd[i].rep[k] : nd[i].rep[0] - 1;
                    if (r > 0 && r <= q) {
                        size_t l = Common(W.data() + q, W.data() + q - r, max);
                        if (l >= 3)
                            cands.push_back({(uint32_t)l, r});
                    }
                }
                saFind(q, max, cands);
                chainFind(q, max, cands);
                uint32_t bestL = 0, bestO = 0;
                for (auto& c : cands)
                    if (c.len > bestL) {
                        bestL = c.len;
                        bestO = c.off;
                    }
                if (bestL >= (uint32_t)SUFF) {
                    endAt = i;
                    longLen = bestL;
                    longOff = bestO;
                    break;
                }
                // literal
                {
                    double np = nd[i].price + litPrice[W[q]] + (nd[i].lit == 0 ? 0.5 : 0.0);
                    if (np < nd[i + 1].price) {
                        nd[i + 1] = nd[i];
                        nd[i + 1].price = np;
                        nd[i + 1].from = (uint32_t)i;
                        nd[i + 1].len = 0;
                        nd[i + 1].lit = nd[i].lit + 1;
                    }
                }
                for (auto& c : cands) {
                    int code = repCodeOf(nd[i].rep, c.off, nd[i].lit);
                    bool isRep = code > 0;
                    int rk = code - 1;
                    double op = isRep ? repP[rk] : offPrice(c.off);
                    double llp = nd[i].lit == 0 ? llCodeP[0] : llCodeP[min(63, 1 + ilog2(nd[i].lit))];
                    uint32_t minL = isRep ? 3 : (uint32_t)SAMIN;
                    for (uint32_t L = minL; L <= c.len && i + L < nd.size(); L++) {
                        double np = nd[i].price + op + mlPrice(L) + llp;
                        if (np < nd[i + L].price) {
                            Node& t = nd[i + L];
                            t.price = np;
                            t.from = (uint32_t)i;
                            t.len = L;
                            t.off = c.off;
                            t.lit = 0;
                            memcpy(t.rep, nd[i].rep, sizeof rep);
                            updRep(t.rep, c.off, nd[i].lit);
                        }
                    }
                }
            }
            size_t stop = endAt != SIZE_MAX ? endAt : i;  // position index where segment ends (reached)
            if (endAt == SIZE_MAX) {  // segment hit max: find the reachable index <= stop with valid price; use stop
                                      // (literal path always valid)
                while (stop > 0 && nd[stop].price >= 1e17)
                    stop--;
            }
            // backtrack
            vector<pair<size_t, Node*>> path;
            for (size_t k = stop; k > 0;) {
                Node& n = nd[k];
                if (n.len > 0) {
                    path.push_back({n.from, &n});
                }
                k = n.from;
            }
            reverse(path.begin(), path.end());
            for (auto& pr : path)
                emit(p + pr.first, pr.second->len, pr.second->off);
            p += stop;
            if (endAt != SIZE_MAX) {
                emit(p, longLen, longOff);
                p += longLen;
            }
            if (stop == 0 && endAt == SIZE_MAX)
                p++;  // safety
        }
    }
    double t2 = now();
    ZSTD_CCtx* cc = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(cc, ZSTD_c_compressionLevel, level);
    int wl = 10;
    while ((1ull << wl) < T)
        wl++;
    ZSTD_CCtx_setParameter(cc, ZSTD_c_windowLog, wl);
    ZSTD_CCtx_setParameter(cc, ZSTD_c_blockDelimiters, ZSTD_sf_noBlockDelimiters);
    ZSTD_CCtx_setPledgedSrcSize(cc, N);
    vector<uint8_t> out(ZSTD_compressBound(N) + 1024);
    size_t r = ZSTD_compressSequences(cc, out.data(), out.size(), seqs.data(), seqs.size(), nw.data(), N);
    double t3 = now();
    if (ZSTD_isError(r)) {
        printf("error %s\n", ZSTD_getErrorName(r));
        return 1;
    }
    size_t lits = 0;
    for (auto& q : seqs)
        lits += q.litLength;
    printf("seqs %zu lits~%zu size %zu  sa %.2f parse %.2f entropy %.2f\n", seqs.size(), lits, r, t1 - t0, t2 - t1,
           t3 - t2);
    ZSTD_DCtx* dc = ZSTD_createDCtx();
    ZSTD_DCtx_setParameter(dc, ZSTD_d_windowLogMax, 31);
    ZSTD_DCtx_refPrefix(dc, old.data(), O);
    vector<uint8_t> back(N);
    size_t d = ZSTD_decompressDCtx(dc, back.data(), N, out.data(), r);
    printf("verify %s\n", (!ZSTD_isError(d) && d == N && back == nw) ? "ok" : "FAIL");
}
