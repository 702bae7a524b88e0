// Apart from the demuxers, which need no input layer (the fuzz targets link them alone).

#include "Demux.h"
#include "Input.h"

namespace qvutil {

bool ProbeInput(Input& in, std::vector<uint8_t>& head, Container* c, std::string* refusal) {
    head.clear();
    if (in.Read(head, kProbeBytes) < 0) return false;
    *c = DetectContainer(head.data(), head.size(), refusal);
    return true;
}

}  // namespace qvutil
