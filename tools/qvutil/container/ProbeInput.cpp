// Apart from the demuxers, which need no input layer (the fuzz targets link them alone).

#include "Commands.h"
#include "Demux.h"
#include "Input.h"

namespace qvutil {

bool ProbeInput(Input& in, std::vector<uint8_t>& head, Container* c, std::string* refusal) {
    head.clear();
    if (in.Read(head, kProbeBytes) < 0) return false;
    *c = DetectContainer(head.data(), head.size(), refusal);
    return true;
}

bool ProbeReadable(Input& in, std::vector<uint8_t>& head, Container* c) {
    std::string refusal;
    if (!ProbeInput(in, head, c, &refusal)) return false;
    if (refusal.empty()) return true;
    Error(ShownName(in.Name()) + ": " + FillRefusal(refusal, in.Name()));
    return false;
}

void ReportWarnings(const Demuxer& demux, const std::string& name) {
    const std::string warnings = demux.Warnings();
    for (size_t at = 0; at < warnings.size();) {
        const size_t nl = warnings.find('\n', at);
        Error(name + ": " + warnings.substr(at, nl - at));
        at = nl == std::string::npos ? warnings.size() : nl + 1;
    }
}

}  // namespace qvutil
