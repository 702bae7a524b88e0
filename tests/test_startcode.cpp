#include "QvTestSupport.h"
#include "StartCodeModel.h"
#include "internal/QvWindowScan.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <sstream>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

namespace model = qvmodel::sc;
using model::Bytes;

Bytes Hex(const std::string& s) {
    Bytes b;
    std::istringstream in(s);
    for (std::string t; in >> t;) b.push_back(static_cast<unsigned char>(std::strtoul(t.c_str(), nullptr, 16)));
    return b;
}

// Walk steps and what they return, with the cursor after them, in the notation of the
// model's trace.
TEST(QvStartCode, WalkTable) {
    const char* const k11 = "12 00 00 00 01 B3 AA 00 00 01 E0";
    const struct { const char *bytes, *script; int backward; } rows[] = {
        {k11, "N=1B3@2 N=1B3@2 S@6 N=1E0@7 S@11 N=0@11", 0},  // a zero in front is not part of it
        {k11, "N=1E0@7 N=1B3@2 N=0@2 S@2 N=0@2", 1},
        {k11, "F1E0=1E0@7 S@11 F1E0=0@11", 0},
        {k11, "FB3=0@11", 0},  // a code byte alone is no code word
        {k11, "F1B3=1B3@2 F1B3=0@2", 1},
        {"12 34 56 78 9A", "N=0@2 N=0@2", 0},  // failed: m_lSize - 3 forward, 3 backward, so that a
        {"12 34 56 78 9A", "N=0@3 N=0@3", 1},  // start code cut off there is not lost
        {"00 00 01 00 00 01 E0", "N=100@0 S@4 N=0@4", 0},  // the second one's first zero is the code byte
        {"00 00 01 00 00 01 E0", "N=1E0@3 N=0@3", 1},
        {"00 00 01 B3 00 00 01 B5", "N=1B5@4 N=1B3@0 N=0@0", 1},  // four bytes before the cursor suffice
        {"12 34 00 00 01 20 88", "S@4 S@8 N=0@8", 0},  // past m_lSize - 3 the cursor stays
    };
    for (const auto& r : rows) {
        Bytes b = Hex(r.bytes);
        QvStartCode sc(b.data(), static_cast<int32_t>(b.size()), r.backward);
        EXPECT_EQ(model::Trace(sc, [&] { return sc.GetPos(); }, r.script), r.script) << r.bytes;
    }
    QvStartCode none, copy(none);
    EXPECT_EQ(none.Next() | none.Find(0x1B3) | copy.Next(), 0u);
}

// Below width 4 the window keeps older bytes; stepping back fills it from the top.
TEST(QvStartCode, ScannerTable) {
    const struct { const char* bytes; bool last; int width; uint32_t value, mask, window; int32_t at; } rows[] = {
        {"12 00 00 01", false, 4, 0x100, 0xFFFFFF00, 0, 1},  // no code byte yet
        {"12 00 00 01 B3", true, 4, 0x100, 0xFFFFFF00, 0x1B3, 4},
        {"12 00 00 01", false, 2, 0x0001, 0xFFFF, 0x12000001, 2},
        {"AB CD EF 01 02", true, 1, 0xAB, 0xFF, 0, 5},
        {"AB CD EF 01 02", true, 1, 0xAB000000, 0xFF000000, 0xABCDEF01, 5},
        {"AB CD EF 01 02", true, 4, 0, 0, 0xCDEF0102, 4},  // an empty mask: every window matches
    };
    for (const auto& r : rows) {
        Bytes b = Hex(r.bytes);
        const int32_t n = static_cast<int32_t>(b.size());
        int32_t at = -1;
        const uint32_t w = r.last ? QvStartCode::Last(b.data() + n, n, at, r.width, r.value, r.mask)
                                  : QvStartCode::Next(b.data(), n, at, r.width, r.value, r.mask);
        EXPECT_TRUE(w == r.window && at == r.at) << r.bytes << " got " << std::hex << w << " @" << at;
    }
}

// RemoveRaceBytes(raw) is escaped and RestoreRaceBytes(escaped) is raw, unless only one way.
TEST(QvStartCode, EscapeTable) {
    const struct { const char *raw, *escaped; int way; } rows[] = {  // way: 0 both, 1 remove, 2 restore
        {"00 00 01 F0 00 00 01 E0 00 00 01 FF", "00 00 01 FF F0 00 00 01 E0 00 00 01 FF FF", 0},
        {"00 00 00 01 F5", "00 00 00 01 FF F5", 0},
        {"00 00 01 FF F0", "00 00 01 FF FF F0", 0},  // the byte after an escape byte is not examined
        {"00 00 01 00 00 01 FF E0", "00 00 01 FF 00 00 01 FF E0", 2},
        {"00 00 01", "00 00 01 FF", 2},  // escape byte last
        {"00 00 01 FE", "00 00 01 FE", 2},
        {"00 01 FF 80", "00 01 FF 80", 0},  // no data before the first byte
        {"00 00 01 F0 00 00 01 F0 00 00 01 F0 00 00 01 F0 00 00 01 F0",  // the largest output
         "00 00 01 FF F0 00 00 01 FF F0 00 00 01 FF F0 00 00 01 FF F0 00 00 01 FF F0", 1},
    };
    auto pass = [](bool remove, Bytes in) {
        Bytes out(in.size() + in.size() / 4);
        const int32_t n = static_cast<int32_t>(in.size());
        out.resize(static_cast<size_t>((remove ? QvStartCode::RemoveRaceBytes : QvStartCode::RestoreRaceBytes)(in.data(), n, out.data())));
        return out;
    };
    for (const auto& r : rows) {
        const Bytes raw = Hex(r.raw), esc = Hex(r.escaped);
        EXPECT_EQ(r.way == 2 ? esc : pass(true, raw), esc) << r.raw;
        EXPECT_EQ(r.way == 1 ? raw : pass(false, esc), raw) << r.escaped;
    }
}

// Random bytes heavy in 00 00 01, 00 00 00 01, code bytes F0..FF and zeros, with widths
// 1..6, masks of every kind (empty too), values from the data or anything at all, and
// searches for codes that occur or for any value.
TEST(QvStartCode, AgreesWithModelOnRandomData) {
    std::mt19937 rng(2024);
    std::vector<uint32_t> levels;
    for (const auto& level : qvtest::CpuLevels()) levels.push_back(level.mask);
    static const Bytes pieces[] = {{0, 0, 1}, {0, 0, 0, 1}, {0}, {0xFF}, {0, 0, 1, 0xFF}};
    for (int iter = 0; iter < 1500; ++iter) {
        Bytes b;
        for (size_t n = iter % 100 == 0 ? 9000 + rng() % 12000 : rng() % 200; b.size() < n; b.resize(std::min(b.size(), n))) {
            const uint32_t r = rng() % 16;
            if (r < 5) b.insert(b.end(), pieces[r].begin(), pieces[r].end());
            else b.push_back(static_cast<unsigned char>(r < 9 ? 0xF0 + rng() % 16 : rng()));
        }
        const int32_t n = static_cast<int32_t>(b.size());
        const int width = 1 + static_cast<int>(rng() % 6);
        const uint32_t masks[] = {0xFFFFFF00, 0xFFFFFFF0, 0xFFFFFFFF, static_cast<uint32_t>(rng()),
                                  static_cast<uint32_t>(rng()) | 0x00FF0000, static_cast<uint32_t>(0xFFFFFFFFull >> (rng() % 33))};
        const uint32_t mask = masks[rng() % 6];
        uint32_t value = static_cast<uint32_t>(rng()), code = static_cast<uint32_t>(rng() % 0x300);
        if (n >= 4 && rng() % 4) {
            const unsigned char* q = &b[rng() % (n - 3)];
            value = mask & ((uint32_t{q[0]} << 24) | (uint32_t{q[1]} << 16) | (uint32_t{q[2]} << 8) | q[3]);
            code = 0x100u + q[3];
        }
        // Also the escaped data, which round-trips and has no code word F0..FE left.
        const Bytes esc = model::RemoveRaceBytes(b);
        ASSERT_EQ(model::RestoreRaceBytes(esc), b) << iter;
        for (size_t j = 0; j + 3 < esc.size(); ++j)
            ASSERT_FALSE(esc[j] == 0 && esc[j + 1] == 0 && esc[j + 2] == 1 && esc[j + 3] >= 0xF0 && esc[j + 3] != 0xFF) << iter << " at " << j;
        ASSERT_EQ(model::Compare(levels, b, width, value, mask, code) + model::Compare(levels, esc, width, value, mask, code), "") << iter;
    }
    // Long runs without a race are searched in chunks: a race at every offset where they meet.
    for (unsigned char code : {0xF5, 0xFF})
        for (int32_t at = 8180; at < 8200; ++at) {
            Bytes b(8400, 0x11);
            b[at] = b[at + 1] = 0, b[at + 2] = 1, b[at + 3] = code;
            ASSERT_EQ(model::Compare(levels, b, 4, 0x1F0, 0xFFFFFFF0, 0x100u + code), "") << at;
        }
}

// Runs longer than the pieces the passes copy skewed runs in, with the output at every
// distance from the input modulo 64, and restored in place: the escapes at both ends of a
// long run and one in its middle move each later run by a byte.
TEST(QvStartCode, LongRunsAtEverySkew) {
    Bytes raw(9000);
    for (size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<unsigned char>(0x20 + i % 91);
    for (size_t at : {size_t{5}, size_t{4100}, size_t{8990}}) raw[at] = raw[at + 1] = 0, raw[at + 2] = 1, raw[at + 3] = 0xF7;
    const Bytes esc = model::RemoveRaceBytes(raw);
    ASSERT_EQ(esc.size(), raw.size() + 3);
    Bytes room(2 * esc.size() + 256);
    unsigned char* const in = room.data() + (64 - reinterpret_cast<uintptr_t>(room.data()) % 64);
    unsigned char* const out0 = in + esc.size() + 64;
    for (int skew = 0; skew < 64; ++skew) {
        unsigned char* const out = out0 + skew;
        std::copy(raw.begin(), raw.end(), in);
        ASSERT_EQ(QvStartCode::RemoveRaceBytes(in, static_cast<int32_t>(raw.size()), out), static_cast<int>(esc.size())) << skew;
        ASSERT_TRUE(std::equal(esc.begin(), esc.end(), out)) << "remove, skew " << skew;
        ASSERT_EQ(QvStartCode::RestoreRaceBytes(out, static_cast<int32_t>(esc.size()), in), static_cast<int>(raw.size())) << skew;
        ASSERT_TRUE(std::equal(raw.begin(), raw.end(), in)) << "restore, skew " << skew;
        ASSERT_EQ(QvStartCode::RestoreRaceBytes(out, static_cast<int32_t>(esc.size()), out), static_cast<int>(raw.size())) << skew;
        ASSERT_TRUE(std::equal(raw.begin(), raw.end(), out)) << "restore in place, skew " << skew;
    }
}

// Memory where a range can end at the last readable byte or begin at the first: on Linux
// between two pages that cannot be read, so that a read past either end faults (no sanitizer
// sees a vector load do that); elsewhere plain memory.
class Fenced {
public:
    explicit Fenced(size_t n) {
#if defined(__linux__)
        page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        room_ = (n + page_ - 1) / page_ * page_;
        void* m = mmap(nullptr, room_ + 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m != MAP_FAILED) {
            base_ = static_cast<unsigned char*>(m);
            mprotect(base_, page_, PROT_NONE);
            mprotect(base_ + page_ + room_, page_, PROT_NONE);
            return;
        }
#endif
        plain_.resize(n + 1);
    }
    ~Fenced() {
#if defined(__linux__)
        if (base_) munmap(base_, room_ + 2 * page_);
#endif
    }
    Fenced(const Fenced&) = delete;
    Fenced& operator=(const Fenced&) = delete;
    // n bytes right after the front fence, or right before the back fence.
    unsigned char* Front() { return base_ ? base_ + page_ : plain_.data(); }
    unsigned char* Back(size_t n) { return base_ ? base_ + page_ + room_ - n : plain_.data(); }

private:
    unsigned char* base_ = nullptr;
    size_t page_ = 0, room_ = 0;
    Bytes plain_;
};

// One start code (or the part of one that fits) at every offset of ranges of every length
// around the steps of the wide searches, amid a run of zeros (00 00 00 01), 01 bytes behind
// single zeros close together or far apart (a search driven by memchr stops at each), or
// plain bytes. Each range lies against an unreadable page at its end and then at its start;
// the walks both ways and the scanners at width 4 agree with the model at every CPU level.
TEST(QvStartCode, EveryOffsetAgreesWithModel) {
    std::vector<uint32_t> levels;
    for (const auto& level : qvtest::CpuLevels()) levels.push_back(level.mask);
    const Bytes fillers[] = {Hex("00"), Hex("00 01 01 00 02 01 37 01 00 01 00 05"),
                             Hex("00 01 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11"),
                             Hex("00 01 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11"), Hex("11")};
    std::vector<int32_t> sizes;
    for (int32_t n = 0; n <= 140; ++n) sizes.push_back(n);
    for (int32_t n : {258, 259, 260, 261, 262}) sizes.push_back(n);
    const unsigned char kCodeBytes[] = {0xB3, 0x00, 0x01, 0xF5};  // F5: an escape passes' window too
    Fenced mem(262);
    for (const Bytes& filler : fillers)
        for (int32_t n : sizes)
            for (int32_t at = 0; at < n; ++at) {
                Bytes b(static_cast<size_t>(n));
                for (int32_t i = 0; i < n; ++i) b[i] = filler[static_cast<size_t>(i) % filler.size()];
                const unsigned char code[] = {0, 0, 1, kCodeBytes[at % 4]};
                std::copy(code, code + std::min<int32_t>(4, n - at), b.begin() + at);
                // The scanners look for start codes, or at every other offset for the escape
                // passes' windows.
                const model::Expected expected = at % 2 ? model::Model(b.data(), n, 4, 0x1F0, 0xFFFFFFF0, 0x100u | code[3])
                                                        : model::Model(b.data(), n, 4, 0x100, 0xFFFFFF00, 0x100u | code[3]);
                for (unsigned char* d : {mem.Back(b.size()), mem.Front()}) {
                    if (n > 0) std::memcpy(d, b.data(), b.size());
                    for (uint32_t level : levels) {
                        qv::cpu::ScopedMask scoped(level);
                        ASSERT_EQ(model::Check(expected, d, n), "")
                            << "filler " << int{filler[1 % filler.size()]} << " size " << n << " at " << at << " level " << level
                            << (d == mem.Front() ? " front" : " back");
                    }
                }
            }
}

// Long ranges are searched by aligned blocks, whose test sees a start code through the byte
// pair at or after its first byte: one start code at every offset of ranges that end at
// odd and even distances from a cache line against an unreadable page (or begin on a
// line, after one), amid zeros (every block passes that test), 00 01 pairs at both
// parities, or plain bytes, against the model at every CPU level.
TEST(QvStartCode, AlignedBlocksAgreeWithModel) {
    std::vector<uint32_t> levels;
    for (const auto& level : qvtest::CpuLevels()) levels.push_back(level.mask);
    const Bytes fillers[] = {Hex("00"), Hex("11"), Hex("00 01 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11 11")};
    Fenced mem(520);
    for (const Bytes& filler : fillers)
        for (int32_t n : {128, 131, 190, 256, 257, 258, 287, 288, 289, 318, 319, 391, 520})
            for (unsigned char* d : {mem.Back(static_cast<size_t>(n)), mem.Front()})
                for (int32_t at = 0; at < n; ++at) {
                    for (int32_t i = 0; i < n; ++i) d[i] = filler[static_cast<size_t>(i) % filler.size()];
                    const unsigned char code[] = {0, 0, 1, 0xB5};
                    std::memcpy(d + at, code, static_cast<size_t>(std::min<int32_t>(4, n - at)));
                    const model::Expected expected = model::Model(d, n, 4, 0x100, 0xFFFFFF00, 0x1B5);
                    for (uint32_t level : levels) {
                        qv::cpu::ScopedMask scoped(level);
                        ASSERT_EQ(model::Check(expected, d, n), "")
                            << "filler " << int{filler[1 % filler.size()]} << " size " << n << " at " << at << " level " << level
                            << (d == mem.Front() ? " front" : " back");
                    }
                }
}

// The word level has two start-code searches and a build uses one: the generic-vector kernel
// where the target has a vector unit, memchr elsewhere. Both, whichever this build uses, walk
// random ranges heavy in zeros and 01 bytes, with start codes planted, half of them ending in a
// cut start code, against unreadable pages, from every start code to the next both ways, as
// the byte loop does.
TEST(QvStartCode, WordSearchesAgreeWithByteLoop) {
    namespace scan = qv::scan;
    const struct { const char* name; int32_t (*first)(const uint8_t*, int32_t); int32_t (*last)(const uint8_t*, int32_t); } searches[] = {
        {"memchr", scan::FirstStartCodeMemchr, scan::LastStartCodeMemchr},
#if defined(QV_GNU_VECTORS)
        {"vector", scan::FirstStartCodeVector, scan::LastStartCodeVector},
#endif
    };
    std::mt19937 rng(77);
    Fenced mem(1200);
    for (int iter = 0; iter < 3000; ++iter) {
        const int32_t n = static_cast<int32_t>(iter < 600 ? iter : rng() % 1200);
        Bytes b(static_cast<size_t>(n));
        const uint32_t zeros = 2 + rng() % 64;  // one byte in `zeros` is 00, as many are 01
        for (unsigned char& c : b) {
            const uint32_t r = rng() % zeros;
            c = static_cast<unsigned char>(r == 0 ? 0 : r == 1 ? 1 : rng());
        }
        for (uint32_t k = rng() % 4; n >= 4 && k > 0; --k) {  // where the filter has let most bytes pass
            const size_t at = rng() % static_cast<size_t>(n - 3);
            b[at] = b[at + 1] = 0, b[at + 2] = 1;
        }
        if (n >= 3 && iter % 2) b[n - 3] = b[n - 2] = 0, b[n - 1] = 1;  // a start code cut by the end
        for (unsigned char* d : {mem.Back(b.size()), mem.Front()}) {
            if (n > 0) std::memcpy(d, b.data(), b.size());
            for (const auto& s : searches) {
                for (int32_t from = 0;;) {
                    const int32_t r = scan::First4Scalar(d + from, n - from, 0xFFFFFF00, 0x100);
                    ASSERT_EQ(s.first(d + from, n - from), r) << s.name << " size " << n << " from " << from;
                    if (r < 0) break;
                    from += r + 1;
                }
                for (int32_t end = n;;) {
                    const int32_t r = scan::Last4Scalar(d, end, 0xFFFFFF00, 0x100);
                    ASSERT_EQ(s.last(d, end), r) << s.name << " size " << n << " end " << end;
                    if (r < 0) break;
                    end = r + 3;
                }
            }
        }
    }
}

// Every start code of the shared streams, both ways, as many as their documentation gives.
TEST(QvStartCode, RealStreams) {
    const std::pair<const char*, size_t> files[] = {
        {"samples/sample.h264", 55}, {"samples/sample.h265", 29}, {"samples/sample.m2v", 359},
        {"streams/h264-1280x720-high-mixed.h264", 23}, {"streams/h264-176x144-cbp-4byte.h264", 102},
        {"streams/hevc-640x360-main-mixed.h265", 49}, {"streams/mpeg2-128x128-mssg.m2v", 36}};
    for (const auto& file : files) {
        Bytes d;
        QVTEST_LOAD_DATA(file.first, d);
        std::vector<std::pair<int32_t, uint32_t>> fwd, back;
        QvStartCode f(d.data(), static_cast<int32_t>(d.size()), 0), b(f.m_pData, f.m_lSize, 1);
        for (uint32_t c; (c = f.Next()) != 0; f.Skip()) fwd.emplace_back(f.GetPos(), c);
        for (uint32_t c; (c = b.Next()) != 0;) back.emplace_back(b.GetPos(), c);
        std::reverse(back.begin(), back.end());
        EXPECT_EQ(fwd, back) << file.first;
        EXPECT_EQ(fwd.size(), file.second) << file.first;
        if (std::strstr(file.first, ".h264")) {
            // Each NAL unit type as often as a plain byte loop over the file finds it.
            std::map<int, int> walked, plain;
            for (const auto& h : fwd) ++walked[h.second & 0x1F];
            for (size_t i = 0; i + 3 < d.size(); ++i)
                if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) ++plain[d[i + 3] & 0x1F], i += 3;
            EXPECT_EQ(walked, plain) << file.first;
        }
    }
}

}  // namespace
