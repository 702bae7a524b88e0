// Entry of qvbench: records the machine's features and the peers' versions in the
// benchmark context, so that bench/report can print them beside the table.

#include "bench_util.h"
#include "internal/QvCpu.h"

#include <benchmark/benchmark.h>

#include <string>

#if defined(QV_BENCH_OPENSSL)
#include <openssl/opensslv.h>
#endif
#if defined(QV_BENCH_GSTREAMER)
#include <gst/gst.h>
#endif
#if defined(QV_BENCH_FFMPEG)
extern "C" {
#include <libavcodec/version.h>
}
#endif

int main(int argc, char** argv) {
    std::string features;
    for (uint32_t bit = 1; bit < qv::cpu::kAll; bit <<= 1)
        if (qv::cpu::Has(bit)) features += std::string(features.empty() ? "" : " ") + qv::cpu::Name(bit);
    benchmark::AddCustomContext("qv_features", features.empty() ? "scalar" : features);
#if defined(QV_BENCH_OPENSSL)
    benchmark::AddCustomContext("openssl", OPENSSL_VERSION_TEXT);
#endif
#if defined(QV_BENCH_GSTREAMER)
    gst_init(nullptr, nullptr);
    gchar* v = gst_version_string();
    benchmark::AddCustomContext("gstreamer", v);
    g_free(v);
#endif
#if defined(QV_BENCH_FFMPEG)
    benchmark::AddCustomContext("libavcodec", LIBAVCODEC_IDENT);
#endif
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
