// Walks the start codes of some files (or of the video-like megabyte) a given number of
// times, with QvStartCode at the CPU level QV_CPU names or with the plain memchr / memrchr
// loop. Built for AArch64 and run under qemu by bench/aarch64/count, which counts the
// instructions one walk executes: the only measure an emulator gives.

#include "QvStartCode.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

using Bytes = std::vector<uint8_t>;

// The benchmark's megabyte: noise with a start code every 4 KiB.
static Bytes Megabyte() {
    Bytes b(1 << 20);
    uint32_t x = 1;
    for (uint8_t& c : b) {
        x = x * 1664525u + 1013904223u;
        c = static_cast<uint8_t>(x >> 24);
    }
    for (size_t i = 0; i + 4 < b.size(); i += 4096) {
        b[i] = 0;
        b[i + 1] = 0;
        b[i + 2] = 1;
        b[i + 3] = 0x65;
    }
    return b;
}

static bool Load(const char* path, Bytes& b) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    char buf[65536];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        b.insert(b.end(), buf, buf + n);
    std::fclose(f);
    return true;
}

static uint64_t Plain(const Bytes& b, bool backward) {
    uint64_t s = 0;
    const uint8_t* lo = b.data() + 2;
    const uint8_t* end = b.data() + b.size() - 1;
    if (!backward) {
        for (const uint8_t* q = lo; q < end;) {
            const uint8_t* k =
                static_cast<const uint8_t*>(std::memchr(q, 1, static_cast<size_t>(end - q)));
            if (!k) break;
            if (k[-1] == 0 && k[-2] == 0) s += static_cast<uint64_t>(k - 2 - b.data());
            q = k + 1;
        }
    } else {
        for (const uint8_t* q = end; q > lo;) {
            const uint8_t* k =
                static_cast<const uint8_t*>(memrchr(lo, 1, static_cast<size_t>(q - lo)));
            if (!k) break;
            if (k[-1] == 0 && k[-2] == 0) s += static_cast<uint64_t>(k - 2 - b.data());
            q = k;
        }
    }
    return s;
}

static uint64_t Walk(Bytes& b, bool backward) {
    uint64_t s = 0;
    QvStartCode sc(b.data(), static_cast<int32_t>(b.size()), backward);
    if (backward) {
        while (sc.Next())
            s += static_cast<uint64_t>(sc.GetPos());
    } else {
        for (; sc.Next(); sc.Skip())
            s += static_cast<uint64_t>(sc.GetPos());
    }
    return s;
}

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: walk REPEATS qv|memchr forward|backward megabyte|FILE...\n");
        return 2;
    }
    const int repeats = std::atoi(argv[1]);
    const bool plain = std::strcmp(argv[2], "memchr") == 0;
    const bool backward = std::strcmp(argv[3], "backward") == 0;
    std::vector<Bytes> data;
    if (std::strcmp(argv[4], "megabyte") == 0) {
        data.push_back(Megabyte());
    } else {
        for (int i = 4; i < argc; ++i) {
            data.emplace_back();
            if (!Load(argv[i], data.back())) {
                std::fprintf(stderr, "walk: cannot read %s\n", argv[i]);
                return 2;
            }
        }
    }
    uint64_t s = 0;
    for (int r = 0; r < repeats; ++r)
        for (Bytes& b : data)
            s += plain ? Plain(b, backward) : Walk(b, backward);
    std::printf("%llu\n", static_cast<unsigned long long>(s));
    return 0;
}
