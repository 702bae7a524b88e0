#include "QvTestSupport.h"

#include "internal/QvCpu.h"

#include <cstdio>

namespace qvtest {

std::string DataDir() {
    return QV_TEST_DATA_DIR;
}

bool DataRequired() {
    return QV_TEST_REQUIRE_DATA != 0;
}

bool ReadDataFile(const std::string& rel, std::vector<uint8_t>& out) {
    out.clear();
    FILE* f = std::fopen((DataDir() + "/" + rel).c_str(), "rb");
    if (!f) return false;
    unsigned char chunk[65536];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

std::vector<CpuLevel> CpuLevels() {
    using namespace qv::cpu;
    const uint32_t have = Detected();
    std::vector<CpuLevel> levels = {{kLevelScalar, "scalar"}, {kLevelWord, "word"}};
    if (have & kSSE41) levels.push_back({kLevelSSE41, "sse4.1"});
    if (have & kAVX2) levels.push_back({kLevelAVX2, "avx2"});
    if (have & kAVX512BW) levels.push_back({kLevelAVX512, "avx512"});
    if (have & kNEON) levels.push_back({kLevelNEON, "neon"});
    return levels;
}

}  // namespace qvtest
