// QvStartCode against the byte-by-byte model at every CPU level: the window scanners with the
// width, mask and value the input picks, both walks and a search, and both escape passes.
// Input: width, mask (4 bytes), value (4 bytes, kept inside the mask), a code byte, the data.

#include "FuzzInput.h"
#include "QvStartCode.h"
#include "StartCodeModel.h"
#include "internal/QvCpu.h"

#include <string>
#include <vector>

namespace {

namespace model = qvmodel::sc;
using model::Bytes;

// Every step of a walk, "code@pos" each, then where the cursor rests.
template <class W, class Pos>
std::string Walk(W& w, Pos pos, bool backward) {
    std::string s;
    for (uint32_t c; (c = w.Next()) != 0;) {
        s += std::to_string(c) + "@" + std::to_string(pos()) + " ";
        if (!backward) w.Skip();
    }
    return s + "end@" + std::to_string(pos());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    qvfuzz::FuzzInput in(data, size);
    const int width = 1 + in.Byte() % 6;
    const uint32_t mask = in.U32();
    const uint32_t value = in.U32() & mask;
    const uint32_t code = 0x100 + in.Byte();
    size_t len = in.Left();
    const uint8_t* p = in.Take(len);
    const Bytes b(p, p + len);
    const int32_t n = static_cast<int32_t>(len);

    const model::Scan mn = model::Next(b.data(), n, width, value, mask);
    const model::Scan ml = model::Last(b.data() + n, n, width, value, mask);
    std::string walks[2], finds[2];
    for (int back = 0; back < 2; ++back) {
        model::Walk w{b.data(), n, back ? n : 0, back != 0};
        walks[back] = Walk(w, [&] { return w.pos; }, back);
        model::Walk f{b.data(), n, back ? n : 0, back != 0};
        const uint32_t found = f.Find(code);
        finds[back] = std::to_string(found) + "@" + std::to_string(f.pos);
    }
    const Bytes removed = model::RemoveRaceBytes(b), restored = model::RestoreRaceBytes(b);
    if (model::RestoreRaceBytes(removed) != b) qvfuzz::Fail("model round trip");

    using namespace qv::cpu;
    for (uint32_t level : {kLevelScalar, kLevelWord, kLevelAVX2, uint32_t{kAll}}) {
        ScopedMask m(level);
        Bytes c(b), out(len + len / 4 + 1);
        int32_t at = -1;
        if (QvStartCode::Next(c.data(), n, at, width, value, mask) != mn.window || at != mn.at)
            qvfuzz::Fail("static Next differs from the model at level", Name(level & -level));
        if (QvStartCode::Last(c.data() + n, n, at, width, value, mask) != ml.window || at != ml.at)
            qvfuzz::Fail("Last differs from the model at level", Name(level & -level));
        for (int back = 0; back < 2; ++back) {
            QvStartCode w(c.data(), n, back), f(c.data(), n, back);
            if (Walk(w, [&] { return w.GetPos(); }, back) != walks[back]) qvfuzz::Fail("walk differs", back ? "backward" : "forward");
            const uint32_t r = f.Find(code);
            if (std::to_string(r) + "@" + std::to_string(f.GetPos()) != finds[back]) qvfuzz::Fail("Find differs");
        }
        if (c != b) qvfuzz::Fail("the scanner changed its range");
        int r = QvStartCode::RemoveRaceBytes(c.data(), n, out.data());
        if (Bytes(out.begin(), out.begin() + r) != removed) qvfuzz::Fail("RemoveRaceBytes differs");
        r = QvStartCode::RestoreRaceBytes(c.data(), n, out.data());
        if (Bytes(out.begin(), out.begin() + r) != restored) qvfuzz::Fail("RestoreRaceBytes differs");
        r = QvStartCode::RestoreRaceBytes(c.data(), n, c.data());
        if (Bytes(c.begin(), c.begin() + r) != restored) qvfuzz::Fail("RestoreRaceBytes in place differs");
    }
    return 0;
}
