// Matroska and WebM: EBML elements read in order, cut anywhere. The segment's Info, Tracks,
// Tags and Attachments are read whole; clusters are walked block by block without keeping
// them, and of each block only the header and the frame bytes the sink asks for are read:
// the rest is passed over, so a file is read at offsets and a pipe read past. Elements of
// unknown size (live streams) end where an element that cannot be their child begins.

#include "Pes.h"
#include "Rates.h"

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cmath>
#include <cstring>

namespace qvutil {

namespace {

enum : uint32_t {
    kEbml = 0x1A45DFA3, kDocType = 0x4282,
    kSegment = 0x18538067, kSeekHead = 0x114D9B74, kInfo = 0x1549A966, kTracks = 0x1654AE6B,
    kCluster = 0x1F43B675, kCues = 0x1C53BB6B, kTags = 0x1254C367, kChapters = 0x1043A770,
    kAttachments = 0x1941A469, kVoid = 0xEC, kCrc32 = 0xBF,
    // Info
    kTimestampScale = 0x2AD7B1, kDuration = 0x4489, kTitle = 0x7BA9, kMuxingApp = 0x4D80, kWritingApp = 0x5741,
    kDateUtc = 0x4461,
    // Tracks
    kTrackEntry = 0xAE, kTrackNumber = 0xD7, kTrackUid = 0x73C5, kTrackType = 0x83, kFlagDefault = 0x88,
    kFlagForced = 0x55AA, kFlagHearingImpaired = 0x55AB, kFlagVisualImpaired = 0x55AC, kFlagTextDescriptions = 0x55AD,
    kFlagOriginal = 0x55AE, kFlagCommentary = 0x55AF, kDefaultDuration = 0x23E383, kName = 0x536E, kLanguage = 0x22B59C,
    kLanguageBcp47 = 0x22B59D, kCodecId = 0x86, kCodecPrivate = 0x63A2, kCodecDelay = 0x56AA,
    kVideo = 0xE0, kFlagInterlaced = 0x9A, kFieldOrder = 0x9D, kPixelWidth = 0xB0, kPixelHeight = 0xBA,
    kDisplayWidth = 0x54B0, kDisplayHeight = 0x54BA, kDisplayUnit = 0x54B2, kStereoMode = 0x53B8, kColour = 0x55B0,
    kMatrix = 0x55B1,
    kRange = 0x55B9, kTransfer = 0x55BA, kPrimaries = 0x55BB,
    kAudio = 0xE1, kSamplingFrequency = 0xB5, kOutputFrequency = 0x78B5, kChannels = 0x9F, kBitDepth = 0x6264,
    kContentEncodings = 0x6D80, kContentEncoding = 0x6240, kContentCompression = 0x5034, kCompAlgo = 0x4254,
    kCompSettings = 0x4255,
    // Clusters
    kTimestamp = 0xE7, kSimpleBlock = 0xA3, kBlockGroup = 0xA0, kBlock = 0xA1, kPosition = 0xA7, kPrevSize = 0xAB,
    kBlockDuration = 0x9B, kReferenceBlock = 0xFB,
    // Tags
    kTag = 0x7373, kTargets = 0x63C0, kTargetType = 0x63CA, kTagTrackUid = 0x63C5, kTagChapterUid = 0x63C4,
    kTagAttachmentUid = 0x63C6, kSimpleTag = 0x67C8, kTagName = 0x45A3, kTagString = 0x4487, kTagLanguage = 0x447A,
    kTagDefault = 0x4484,
    // Attachments
    kAttachedFile = 0x61A7, kFileName = 0x466E, kFileMimeType = 0x4660,
};

constexpr int64_t kUnknown = INT64_MAX;
constexpr size_t kMaxValue = 1 << 20;        // strings and numbers read whole
constexpr size_t kMaxPrivate = 16 << 20;     // CodecPrivate
constexpr size_t kMaxTracks = 256;
constexpr size_t kMaxDepth = 32;
constexpr size_t kMaxLaceHeader = 8 + 256 * 8 * 2;
constexpr size_t kHeadRead = 16 * 1024;

bool Master(uint32_t id) {
    switch (id) {
    case kEbml: case kSegment: case kInfo: case kTracks: case kTrackEntry: case kVideo: case kColour: case kAudio:
    case kContentEncodings: case kContentEncoding: case kContentCompression: case kCluster: case kBlockGroup:
    case kTags: case kTag: case kTargets: case kSimpleTag: case kAttachments: case kAttachedFile:
        return true;
    default:
        return false;
    }
}

// The elements an unknown-sized cluster or segment may hold; any other ends it.
bool ClusterChild(uint32_t id) {
    return id == kTimestamp || id == kSimpleBlock || id == kBlockGroup || id == kPosition || id == kPrevSize ||
           id == kVoid || id == kCrc32 || id == 0x5854 || id == 0xAF;
}
bool SegmentChild(uint32_t id) {
    return id == kSeekHead || id == kInfo || id == kTracks || id == kCluster || id == kCues || id == kTags ||
           id == kChapters || id == kAttachments || id == kVoid || id == kCrc32;
}

// Leaves whose value is read whole.
bool Leaf(uint32_t id) {
    switch (id) {
    case kDocType: case kTimestampScale: case kDuration: case kTitle: case kMuxingApp: case kWritingApp: case kDateUtc:
    case kTrackNumber: case kTrackUid: case kTrackType: case kFlagDefault: case kDefaultDuration: case kName:
    case kFlagForced: case kFlagHearingImpaired: case kFlagVisualImpaired: case kFlagTextDescriptions:
    case kFlagOriginal: case kFlagCommentary:
    case kLanguage: case kLanguageBcp47: case kCodecId: case kCodecPrivate: case kCodecDelay: case kFlagInterlaced:
    case kFieldOrder: case kPixelWidth: case kPixelHeight: case kDisplayWidth: case kDisplayHeight: case kDisplayUnit:
    case kStereoMode:
    case kMatrix: case kRange: case kTransfer: case kPrimaries: case kSamplingFrequency: case kOutputFrequency: case kChannels:
    case kBitDepth: case kCompAlgo: case kCompSettings: case kTimestamp: case kBlockDuration: case kReferenceBlock:
    case kTagTrackUid: case kTagName: case kTagString: case kFileName: case kFileMimeType: case kTargetType:
    case kTagChapterUid: case kTagAttachmentUid: case kTagLanguage: case kTagDefault:
        return true;
    default:
        return false;
    }
}

uint64_t Uint(const std::vector<uint8_t>& v) {
    uint64_t x = 0;
    for (size_t i = 0; i < v.size() && i < 8; ++i) x = x << 8 | v[i];
    return x;
}

double Float(const std::vector<uint8_t>& v) {
    const uint64_t bits = Uint(v);
    if (v.size() == 4) {
        const uint32_t b = static_cast<uint32_t>(bits);
        float f;
        std::memcpy(&f, &b, sizeof f);
        return f;
    }
    if (v.size() == 8) {
        double d;
        std::memcpy(&d, &bits, sizeof d);
        return d;
    }
    return 0;
}

std::string Text(const std::vector<uint8_t>& v) {
    std::string s(v.begin(), v.end());
    const size_t nul = s.find('\0');
    if (nul != std::string::npos) s.resize(nul);
    return s;
}

// The codec of a CodecID, as ffmpeg names it.
void DescribeCodec(const std::string& id, int bitDepth, StreamInfo& s) {
    static const struct {
        const char* id;
        EsCodec codec;
        const char* name;
        bool prefix;
    } kCodecs[] = {
        {"V_MPEG4/ISO/AVC", EsCodec::kH264, "h264", false}, {"V_MPEGH/ISO/HEVC", EsCodec::kH265, "hevc", false},
        {"V_MPEG1", EsCodec::kMpeg1Video, "mpeg1video", false}, {"V_MPEG2", EsCodec::kMpeg2Video, "mpeg2video", false},
        {"V_VP9", EsCodec::kVp9, "vp9", false}, {"V_AV1", EsCodec::kAv1, "av1", false},
        {"V_VP8", EsCodec::kOther, "vp8", false}, {"V_MPEG4/ISO/", EsCodec::kOther, "mpeg4", true},
        {"V_MPEGI/ISO/VVC", EsCodec::kOther, "vvc", false}, {"V_MJPEG", EsCodec::kOther, "mjpeg", false},
        {"V_PRORES", EsCodec::kOther, "prores", false}, {"V_THEORA", EsCodec::kOther, "theora", false},
        {"V_FFV1", EsCodec::kOther, "ffv1", false}, {"V_DIRAC", EsCodec::kOther, "dirac", false},
        {"V_UNCOMPRESSED", EsCodec::kOther, "rawvideo", false}, {"V_REAL/RV40", EsCodec::kOther, "rv40", false},
        {"A_AAC", EsCodec::kOther, "aac", true}, {"A_EAC3", EsCodec::kOther, "eac3", false},
        {"A_AC3", EsCodec::kOther, "ac3", true}, {"A_DTS", EsCodec::kOther, "dts", true},
        {"A_MPEG/L1", EsCodec::kOther, "mp1", false}, {"A_MPEG/L2", EsCodec::kOther, "mp2", false},
        {"A_MPEG/L3", EsCodec::kOther, "mp3", false}, {"A_OPUS", EsCodec::kOther, "opus", true},
        {"A_FLAC", EsCodec::kOther, "flac", false}, {"A_VORBIS", EsCodec::kOther, "vorbis", false},
        {"A_ALAC", EsCodec::kOther, "alac", false}, {"A_TRUEHD", EsCodec::kOther, "truehd", false},
        {"A_MLP", EsCodec::kOther, "mlp", false}, {"A_TTA1", EsCodec::kOther, "tta", false},
        {"A_WAVPACK4", EsCodec::kOther, "wavpack", false}, {"A_PCM/FLOAT/IEEE", EsCodec::kOther, "", false},
        {"S_TEXT/UTF8", EsCodec::kOther, "subrip", false}, {"S_TEXT/ASCII", EsCodec::kOther, "text", false},
        {"S_TEXT/ASS", EsCodec::kOther, "ass", false}, {"S_TEXT/SSA", EsCodec::kOther, "ass", false},
        {"S_ASS", EsCodec::kOther, "ass", false}, {"S_SSA", EsCodec::kOther, "ass", false},
        {"D_WEBVTT/", EsCodec::kOther, "webvtt", true},
        {"S_VOBSUB", EsCodec::kOther, "dvd_subtitle", false}, {"S_HDMV/PGS", EsCodec::kOther, "hdmv_pgs_subtitle", false},
        {"S_HDMV/TEXTST", EsCodec::kOther, "hdmv_text_subtitle", false}, {"S_DVBSUB", EsCodec::kOther, "dvb_subtitle", false},
        {"S_ARIBSUB", EsCodec::kOther, "arib_caption", false},
    };
    s.codec = EsCodec::kOther;
    for (const auto& c : kCodecs)
        if (c.prefix ? id.compare(0, std::strlen(c.id), c.id) == 0 : id == c.id) {
            s.codec = c.codec;
            s.codecName = c.name;
            break;
        }
    if (id == "A_PCM/INT/LIT") s.codecName = bitDepth == 8 ? "pcm_u8" : bitDepth == 24 ? "pcm_s24le" : bitDepth == 32 ? "pcm_s32le" : "pcm_s16le";
    else if (id == "A_PCM/INT/BIG") s.codecName = bitDepth == 8 ? "pcm_u8" : bitDepth == 24 ? "pcm_s24be" : bitDepth == 32 ? "pcm_s32be" : "pcm_s16be";
    else if (id == "A_PCM/FLOAT/IEEE") s.codecName = bitDepth == 64 ? "pcm_f64le" : "pcm_f32le";
    if (s.codec == EsCodec::kH264 || s.codec == EsCodec::kH265) s.nalLengthSize = 4;
}

// A SimpleTag: its name, value and language, and those nested in it.
struct TagNode {
    std::string name, value, lang = "und";
    bool hasValue = false, def = true;
    std::vector<int> children;
};

struct TagGroup {
    uint64_t track = 0;  // TagTrackUID, 0 for none
    bool other = false;  // names a chapter or attachment
    std::string type;    // TargetType
    std::vector<TagNode> nodes;
    std::vector<int> roots;
};

// A key set in a stream's (track >= 0) or the file's tags, in the order met.
struct Op {
    ptrdiff_t track;
    std::string key, value;
    bool has;
};

constexpr size_t kMaxTagNodes = 4096, kMaxTagOps = 65536;

struct TrackEntry {
    StreamInfo info;
    uint64_t number = 0, uid = 0, type = 0;
    std::string codecId;
    bool haveLanguage = false;
    std::string language = "eng";
    std::string name;
    uint64_t defaultDuration = 0;
    int64_t pixelWidth = 0, pixelHeight = 0, displayWidth = -1, displayHeight = -1, displayUnit = 0;
    int64_t interlaced = 0, fieldOrder = 2, stereoMode = 0;
    double samplingFrequency = 8000;
    int64_t channels = 1, bitDepth = 0;
    double outputFrequency = 0;
    uint64_t codecDelay = 0;
    int64_t compAlgo = -1;
    std::vector<uint8_t> compSettings;
    int64_t delay = 0;  // CodecDelay in time stamp units, taken off every time stamp
    bool announced = false, wanted = false;
};

class MkvDemux final : public Demuxer {
public:
    explicit MkvDemux(EsSink& sink) : m_sink(sink) {}

    Access Reads() const override { return Access::kSkipsForward; }
    const ContainerFacts& Facts() const override { return m_facts; }

    Want Next() const override {
        switch (m_state) {
        // Element headers are short: a small read finds the next ones, a skipped frame is not read.
        case kInHead: case kInResync: return {m_pos, kHeadRead};
        case kInValue: return {m_pos, m_valueWant - m_value.size()};
        case kInBlock: return {m_pos, static_cast<size_t>(std::max<int64_t>(m_blockEnd - m_pos, 1))};
        case kInFrame: return {m_pos, static_cast<size_t>(m_frameLeft)};
        case kInDone: break;
        }
        return {0, 0};
    }

    void End(int64_t size) override { EndOfFile(size); }

    void Feed(const uint8_t* p, size_t n) override {
        const int64_t base = m_pos;
        for (;;) {
            const int64_t i = m_pos - base;
            if (m_state == kInDone || i < 0 || i >= static_cast<int64_t>(n)) return;
            const uint8_t* q = p + i;
            const size_t left = n - static_cast<size_t>(i);
            switch (m_state) {
            case kInHead: HeadBytes(q, left); break;
            case kInResync: Resync(q, left); break;
            case kInValue: {
                const size_t take = std::min(left, m_valueWant - m_value.size());
                m_value.insert(m_value.end(), q, q + take);
                m_pos += static_cast<int64_t>(take);
                if (m_value.size() == m_valueWant) {
                    m_state = kInHead;
                    Value(m_valueId);
                }
                break;
            }
            case kInBlock: BlockBytes(q, left); break;
            case kInFrame: FrameBytes(q, left); break;
            case kInDone: return;
            }
        }
    }

    void Finish() override {
        if (m_state != kInDone) EndOfFile(m_pos);
        for (TrackEntry& t : m_tracks) Announce(t);
        m_facts.streams.clear();
        for (TrackEntry& t : m_tracks) {
            FinalTags(t);
            m_facts.streams.push_back(t.info);
        }
        if (m_duration > 0 && std::isfinite(m_duration) && m_duration < 1e15)
            m_facts.durationUs = ToInt64(m_duration * static_cast<double>(m_scale) / 1000.0);
        m_facts.startUs = FormatStartUs(m_facts.streams);
        // Attachments span the file, in ffmpeg's default time base.
        for (StreamInfo& a : m_attachments) {
            a.timeBase = {1, 90000};
            a.startTime = 0;
            if (m_facts.durationUs != kNoTime) a.duration = m_facts.durationUs * 9 / 100;
            m_facts.streams.push_back(a);
        }
        std::vector<Tag> tags;
        if (!m_title.empty()) tags.push_back({"title", m_title});
        if (!m_muxingApp.empty()) tags.push_back({"encoder", m_muxingApp});
        if (!m_created.empty()) tags.push_back({"creation_time", m_created});
        for (const Op& o : m_formatOps) DictSet(tags, o.key, o.has ? &o.value : nullptr);
        Rename(tags);
        m_facts.tags = tags;
    }

    std::string Warnings() const override {
        std::string out = m_problems.Text();
        if (m_unknownTrack)
            Problems::Append(out, "%" PRIu64 " block%s of tracks the file does not describe", m_unknownTrack,
                             m_unknownTrack == 1 ? "" : "s");
        return out;
    }

private:
    enum State { kInHead, kInValue, kInBlock, kInFrame, kInResync, kInDone };
    struct Open {
        uint32_t id;
        int64_t end;  // kUnknown: until an element that is not its child
        bool tagNode = false;  // a SimpleTag that took a node of the Tag being read
    };

    static void Flag(bool inTrack, TrackEntry& t, unsigned bit, const std::vector<uint8_t>& v) {
        if (!inTrack) return;
        if (Uint(v)) t.info.disposition |= bit;
        else t.info.disposition &= ~bit;
    }

    static void SetTag(std::vector<Tag>& tags, const std::string& key, const std::string& value) {
        for (Tag& t : tags)
            if (t.key == key) return void(t.value = value);
        tags.push_back({key, value});
    }

    bool Inside(uint32_t id) const {
        for (const Open& o : m_stack)
            if (o.id == id) return true;
        return false;
    }

    // --- element headers --------------------------------------------------------------

    void HeadBytes(const uint8_t* p, size_t n) {
        if (m_hdrHave == 0) {
            CloseEnded();
            m_elemStart = m_pos;
        }
        size_t i = 0;
        while (i < n) {
            m_hdr[m_hdrHave++] = p[i++];
            const int idLen = VintLength(m_hdr[0]);
            if (idLen == 0 || idLen > 4) return m_pos += static_cast<int64_t>(i), Damaged("element ID");
            if (m_hdrHave < static_cast<size_t>(idLen) + 1) continue;
            const int sizeLen = VintLength(m_hdr[idLen]);
            if (sizeLen == 0) return m_pos += static_cast<int64_t>(i), Damaged("element size");
            if (m_hdrHave < static_cast<size_t>(idLen + sizeLen)) continue;
            uint32_t id = 0;
            for (int k = 0; k < idLen; ++k) id = id << 8 | m_hdr[k];
            uint64_t size = m_hdr[idLen] & (0xFFu >> sizeLen);
            bool allOnes = size == (0xFFu >> sizeLen);
            for (int k = 1; k < sizeLen; ++k) {
                size = size << 8 | m_hdr[idLen + k];
                allOnes &= m_hdr[idLen + k] == 0xFF;
            }
            m_pos += static_cast<int64_t>(i);
            m_headerLen = m_hdrHave;
            m_hdrHave = 0;
            return Element(id, allOnes ? kUnknown : static_cast<int64_t>(std::min<uint64_t>(size, INT64_MAX / 2)));
        }
        m_pos += static_cast<int64_t>(i);
    }

    static int VintLength(uint8_t first) {
        for (int k = 0; k < 8; ++k)
            if (first & (0x80 >> k)) return k + 1;
        return 0;
    }

    // Masters whose end the walk has reached are closed; so is an unknown-sized one when the
    // next element cannot be its child.
    void CloseEnded() {
        while (!m_stack.empty() && m_stack.back().end != kUnknown && m_stack.back().end <= m_pos) Close();
    }

    void Close() {
        const Open o = m_stack.back();
        m_stack.pop_back();
        switch (o.id) {
        case kTrackEntry: EndTrackEntry(); break;
        case kTracks: for (TrackEntry& t : m_tracks) Announce(t); break;
        case kSimpleTag:
            if (o.tagNode && !m_tagStack.empty()) m_tagStack.pop_back();
            break;
        case kTag: EndTag(); break;
        case kAttachedFile: EndAttachment(); break;
        case kBlockGroup: break;
        default: break;
        }
    }

    void Element(uint32_t id, int64_t size) {
        // An unknown-sized cluster or segment ends where something else begins.
        while (!m_stack.empty() && m_stack.back().end == kUnknown) {
            const uint32_t top = m_stack.back().id;
            if (top == kCluster && !ClusterChild(id)) Close();
            else if (top == kSegment && !SegmentChild(id)) Close();
            else break;
        }
        const int64_t dataStart = m_pos;
        int64_t end = size == kUnknown ? kUnknown : dataStart + size;
        const int64_t parentEnd = m_stack.empty() ? kUnknown : m_stack.back().end;
        if (end != kUnknown && parentEnd != kUnknown && end > parentEnd) {
            // In a cluster that is damage, as ffmpeg takes it: on from the next top-level
            // element. A segment's own size is often wrong (a file cut, then mended): its
            // elements are read as they say. Elsewhere an element is read as far as its
            // parent goes.
            const uint32_t parent = m_stack.back().id;
            if (parent == kCluster || parent == kBlockGroup) {
                m_hdrHave = m_headerLen;
                return Damaged("element size");
            }
            if (m_problems.Room())
                m_problems.Add("element 0x%X at offset %" PRId64 " runs past its parent's end", id, m_elemStart);
            if (parent == kSegment) m_stack.back().end = end;
            else end = std::max(parentEnd, dataStart);  // a header across the parent's end: empty
        }
        if (size == kUnknown && id != kSegment && id != kCluster) end = std::max(parentEnd, dataStart);
        if (id == kCluster && m_tracksSeen) {
            for (TrackEntry& t : m_tracks) Announce(t);
        }
        if (id == kEbml && m_segments > 0) {
            // A second EBML header: a chained file. Its segment is read as part of this one.
            m_stack.clear();
        }
        if (Master(id)) {
            if (m_stack.size() >= kMaxDepth) return Skip(end, id);
            m_stack.push_back({id, end});
            switch (id) {
            case kSegment: ++m_segments; break;
            case kTracks: m_tracksSeen = true; break;
            case kTrackEntry:
                m_track = TrackEntry();
                m_track.info.disposition = kDefaultTrack;  // FlagDefault is 1 unless said
                break;
            // ContentCompAlgo defaults to zlib: mkvmerge leaves it out.
            case kContentCompression: if (Inside(kTrackEntry)) m_track.compAlgo = 0; break;
            case kCluster: m_clusterTime = 0; break;
            case kTag:
                m_tag = TagGroup();
                m_tagStack.clear();
                break;
            case kSimpleTag: {
                if (m_tag.nodes.size() >= kMaxTagNodes || !Inside(kTag)) break;
                const int index = static_cast<int>(m_tag.nodes.size());
                m_tag.nodes.emplace_back();
                if (m_tagStack.empty()) m_tag.roots.push_back(index);
                else m_tag.nodes[static_cast<size_t>(m_tagStack.back())].children.push_back(index);
                m_tagStack.push_back(index);
                m_stack.back().tagNode = true;
                break;
            }
            case kAttachedFile: m_fileName.clear(), m_fileMime.clear(); break;
            default: break;
            }
            if (end != kUnknown && end <= m_pos) CloseEnded();
            return;
        }
        if (id == kSimpleBlock || id == kBlock) {
            if (!Inside(kCluster) || end == kUnknown) return Skip(end, id);
            m_blockStart = dataStart;
            m_blockEnd = end;
            m_blockSimple = id == kSimpleBlock;
            m_blk.clear();
            m_state = kInBlock;
            return;
        }
        if (Leaf(id) && end != kUnknown) {
            const size_t limit = id == kCodecPrivate ? kMaxPrivate : kMaxValue;
            if (static_cast<uint64_t>(end - dataStart) <= limit) {
                m_valueId = id;
                m_valueWant = static_cast<size_t>(end - dataStart);
                m_value.clear();
                m_state = kInValue;
                if (!m_valueWant) {
                    m_state = kInHead;
                    Value(id);
                }
                return;
            }
        }
        Skip(end, id);
    }

    void Skip(int64_t end, uint32_t id) {
        if (end == kUnknown) {
            if (m_problems.Room()) m_problems.Add("element 0x%X at offset %" PRId64 " of unknown size, nothing after it is read", id, m_elemStart);
            m_state = kInDone;
            return;
        }
        m_pos = end;
        m_state = kInHead;
    }

    // The header bytes read so far are searched too (all but the first), never read again:
    // a pipe cannot go back.
    void Damaged(const char* what) {
        if (m_problems.Room())
            m_problems.Add("invalid %s at offset %" PRId64 ": looking for the next cluster or other top-level element", what,
                           m_elemStart);
        m_window = 0;
        m_state = kInResync;
        const size_t had = m_hdrHave;
        m_hdrHave = 0;
        uint8_t bytes[12];
        std::memcpy(bytes, m_hdr, had);
        for (size_t k = 1; k < had; ++k)
            if (ResyncByte(bytes[k], m_pos - static_cast<int64_t>(had - k))) return;
    }

    // After damage: on from the next top-level element's ID, as ffmpeg resyncs. True once
    // found (its ID then read).
    bool ResyncByte(uint8_t b, int64_t at) {
        m_window = m_window << 8 | b;
        switch (m_window) {
        case kCluster: case kInfo: case kTracks: case kCues: case kTags: case kSeekHead: case kAttachments: case kChapters:
            break;
        default:
            return false;
        }
        while (!m_stack.empty() && m_stack.back().id != kSegment) m_stack.pop_back();
        m_state = kInHead;
        m_elemStart = at - 3;
        for (int k = 0; k < 4; ++k) m_hdr[k] = static_cast<uint8_t>(m_window >> (24 - 8 * k));
        m_hdrHave = 4;
        return true;
    }

    void Resync(const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i)
            if (ResyncByte(p[i], m_pos + static_cast<int64_t>(i))) {
                m_pos += static_cast<int64_t>(i) + 1;
                return;
            }
        m_pos += static_cast<int64_t>(n);
    }

    // --- values -----------------------------------------------------------------------

    void Value(uint32_t id) {
        const std::vector<uint8_t>& v = m_value;
        const bool inTrack = Inside(kTrackEntry);
        TrackEntry& t = m_track;
        switch (id) {
        case kDocType: m_docType = Text(v); break;
        case kTimestampScale:
            if (Inside(kInfo) && Uint(v) > 0) m_scale = Uint(v);
            break;
        case kDuration: if (Inside(kInfo)) m_duration = Float(v); break;
        case kTitle: if (Inside(kInfo)) m_title = Text(v); break;
        case kMuxingApp: if (Inside(kInfo)) m_muxingApp = Text(v); break;
        case kDateUtc:
            if (Inside(kInfo) && v.size() == 8) m_created = DateText(static_cast<int64_t>(Uint(v)));
            break;
        case kTrackNumber: if (inTrack) t.number = Uint(v); break;
        case kTrackUid: if (inTrack) t.uid = Uint(v); break;
        case kTrackType: if (inTrack) t.type = Uint(v); break;
        case kFlagDefault: Flag(inTrack, t, kDefaultTrack, v); break;
        case kFlagForced: Flag(inTrack, t, kForced, v); break;
        case kFlagHearingImpaired: Flag(inTrack, t, kHearingImpaired, v); break;
        case kFlagVisualImpaired: Flag(inTrack, t, kVisualImpaired, v); break;
        case kFlagTextDescriptions: Flag(inTrack, t, kDescriptions, v); break;
        case kFlagCommentary: Flag(inTrack, t, kComment, v); break;
        // Said either way, a track is the original language or a dub.
        case kFlagOriginal:
            if (inTrack) t.info.disposition = (t.info.disposition & ~(kOriginal | kDub)) | (Uint(v) ? kOriginal : kDub);
            break;
        case kDefaultDuration: if (inTrack) t.defaultDuration = Uint(v); break;
        case kName: if (inTrack) t.name = Text(v); break;
        case kLanguage: if (inTrack) t.language = Text(v), t.haveLanguage = true; break;
        case kCodecId: if (inTrack) t.codecId = Text(v); break;
        case kCodecPrivate: if (inTrack) t.info.config = v; break;
        case kFlagInterlaced: if (inTrack) t.interlaced = static_cast<int64_t>(Uint(v)); break;
        case kFieldOrder: if (inTrack) t.fieldOrder = static_cast<int64_t>(Uint(v)); break;
        case kStereoMode: if (inTrack) t.stereoMode = static_cast<int64_t>(std::min<uint64_t>(Uint(v), 255)); break;
        case kPixelWidth: if (inTrack) t.pixelWidth = static_cast<int64_t>(std::min<uint64_t>(Uint(v), 1 << 30)); break;
        case kPixelHeight: if (inTrack) t.pixelHeight = static_cast<int64_t>(std::min<uint64_t>(Uint(v), 1 << 30)); break;
        case kDisplayWidth: if (inTrack) t.displayWidth = static_cast<int64_t>(std::min<uint64_t>(Uint(v), 1 << 30)); break;
        case kDisplayHeight: if (inTrack) t.displayHeight = static_cast<int64_t>(std::min<uint64_t>(Uint(v), 1 << 30)); break;
        case kDisplayUnit: if (inTrack) t.displayUnit = static_cast<int64_t>(Uint(v)); break;
        case kMatrix: if (inTrack) t.info.matrix = static_cast<int>(std::min<uint64_t>(Uint(v), 255)); break;
        case kRange: if (inTrack) t.info.colourRange = static_cast<int>(std::min<uint64_t>(Uint(v), 255)); break;
        case kTransfer: if (inTrack) t.info.transfer = static_cast<int>(std::min<uint64_t>(Uint(v), 255)); break;
        case kPrimaries: if (inTrack) t.info.colourPrimaries = static_cast<int>(std::min<uint64_t>(Uint(v), 255)); break;
        case kSamplingFrequency: if (inTrack) t.samplingFrequency = Float(v); break;
        case kOutputFrequency: if (inTrack) t.outputFrequency = Float(v); break;
        case kCodecDelay: if (inTrack) t.codecDelay = Uint(v); break;
        case kChannels: if (inTrack) t.channels = static_cast<int64_t>(std::min<uint64_t>(Uint(v), 1 << 16)); break;
        case kBitDepth: if (inTrack) t.bitDepth = static_cast<int64_t>(std::min<uint64_t>(Uint(v), 1 << 16)); break;
        case kCompAlgo: if (inTrack) t.compAlgo = static_cast<int64_t>(Uint(v)); break;
        case kCompSettings: if (inTrack) t.compSettings = v; break;
        case kTimestamp: if (Inside(kCluster)) m_clusterTime = static_cast<int64_t>(Uint(v)); break;
        case kTagTrackUid: m_tag.track = Uint(v); break;
        case kTagChapterUid: case kTagAttachmentUid: m_tag.other |= Uint(v) != 0; break;
        case kTargetType: m_tag.type = Text(v); break;
        case kTagName: if (Top()) Top()->name = Text(v); break;
        case kTagString: if (Top()) Top()->value = Text(v), Top()->hasValue = true; break;
        case kTagLanguage: if (Top()) Top()->lang = Text(v); break;
        case kTagDefault: if (Top()) Top()->def = Uint(v) != 0; break;
        case kFileName: m_fileName = Text(v); break;
        case kFileMimeType: m_fileMime = Text(v); break;
        default: break;
        }
    }

    // Nanoseconds since 2001-01-01T00:00:00 UTC.
    static std::string DateText(int64_t ns2001) {
        const int64_t micros = ns2001 / 1000;
        if (micros > INT64_MAX - int64_t{978307200} * 1000000) return std::string();
        return UtcText(micros + int64_t{978307200} * 1000000);
    }

    void EndTrackEntry() {
        TrackEntry& t = m_track;
        if (!t.number) {
            m_problems.Add("a track entry without a track number, ignored");
            return;
        }
        for (const TrackEntry& o : m_tracks)
            if (o.number == t.number) {
                m_problems.Add("track number %" PRIu64 " given twice, the second ignored", t.number);
                return;
            }
        if (m_tracks.size() >= kMaxTracks) {
            m_problems.Add("more than %" PRIu64 " tracks: the rest are not read", static_cast<uint64_t>(kMaxTracks));
            return;
        }
        // ffmpeg lists video, audio, subtitle and metadata tracks that name their codec.
        if ((t.type != 1 && t.type != 2 && t.type != 0x11 && t.type != 0x21) || t.codecId.empty()) {
            m_skipped.push_back(t.number);
            return;
        }
        StreamInfo& s = t.info;
        s.id = static_cast<int>(std::min<uint64_t>(t.number, INT32_MAX));
        s.kind = t.type == 1 ? StreamKind::kVideo : t.type == 2 ? StreamKind::kAudio
                 : t.type == 0x11 ? StreamKind::kSubtitle : StreamKind::kData;
        DescribeCodec(t.codecId, static_cast<int>(t.bitDepth), s);
        if (t.codecId.compare(0, 9, "D_WEBVTT/") == 0) s.kind = StreamKind::kSubtitle;
        if (t.compAlgo >= 0 && t.compAlgo != 3) {
            // zlib, bzlib or LZO: the frames are not read.
            static const char* const kNames[] = {"zlib", "bzlib", "LZO"};
            m_problems.Add("track %" PRIu64 ": frames compressed with %s, not analysed", t.number,
                           t.compAlgo < 3 ? kNames[t.compAlgo] : "an unknown algorithm");
            s.codec = EsCodec::kOther;
        }
        if (s.kind == StreamKind::kVideo) {
            s.width = static_cast<int>(t.pixelWidth);
            s.height = static_cast<int>(t.pixelHeight);
            // The display size (the pixel size unless given; its unit ignored, as ffmpeg
            // ignores it) makes the pixel aspect, which wins over the stream's own.
            // A stereo pair side by side (or one above the other) shows each view at the
            // display size: ffmpeg doubles it across (or down).
            static const char* const kStereo[] = {"mono", "left_right", "bottom_top", "top_bottom", "checkerboard_rl",
                                                  "checkerboard_lr", "row_interleaved_rl", "row_interleaved_lr",
                                                  "col_interleaved_rl", "col_interleaved_lr", "anaglyph_cyan_red",
                                                  "right_left", "anaglyph_green_magenta", "block_lr", "block_rl"};
            const int64_t mode = t.stereoMode;
            const bool across = mode == 1 || mode == 8 || mode == 9 || mode == 11;
            const bool down = mode == 2 || mode == 3 || mode == 6 || mode == 7;
            if (mode > 0 && mode < 15) SetTag(s.tags, "stereo_mode", kStereo[mode]);
            const int64_t dw = (t.displayWidth > 0 ? t.displayWidth : t.pixelWidth) * (across ? 2 : 1);
            const int64_t dh = (t.displayHeight > 0 ? t.displayHeight : t.pixelHeight) * (down ? 2 : 1);
            if (t.pixelWidth > 0 && t.pixelHeight > 0 && dw > 0 && dh > 0) {
                const Fraction sar = ReduceWithin(t.pixelHeight * dw, t.pixelWidth * dh, 255);
                s.sarNum = sar.num, s.sarDen = sar.den;
            }
            if (t.interlaced == 2) s.fieldOrder = "progressive";
            else if (t.interlaced == 1)
                s.fieldOrder = t.fieldOrder == 0 ? "progressive" : t.fieldOrder == 1 ? "tt" : t.fieldOrder == 6 ? "bb"
                               : t.fieldOrder == 9 ? "tb" : t.fieldOrder == 14 ? "bt" : "";
            if (t.defaultDuration) {
                const Fraction avg = ReduceWithin(1000000000, static_cast<int64_t>(std::min<uint64_t>(t.defaultDuration, INT64_MAX)), 30000);
                s.avgRateNum = avg.num, s.avgRateDen = avg.den;
                if (avg.num < avg.den * 1000) s.frameRateNum = avg.num, s.frameRateDen = avg.den;
            }
            // Matroska's colour range counts 1 for limited, 2 for full.
            s.colourRange = s.colourRange == 1 ? 0 : s.colourRange == 2 ? 1 : -1;
        } else if (s.kind == StreamKind::kAudio) {
            const double f = t.outputFrequency > 0 ? t.outputFrequency : t.samplingFrequency;
            s.sampleRate = std::isfinite(f) && f > 0 && f < 1e7 ? static_cast<int>(f) : 0;
            s.channels = static_cast<int>(t.channels);
            s.bitsPerSample = static_cast<int>(t.bitDepth);
            if (s.codecName == "aac") {
                int rate = 0, channels = 0;
                std::string layout;
                if (ReadAacConfig(s.config.data(), s.config.size(), &rate, &channels, &layout)) {
                    s.sampleRate = rate;
                    if (channels) s.channels = channels, s.channelLayout = layout;
                }
            }
        }
        // The ISO 639-2 code, as ffmpeg 5 reads it; mkvmerge writes the BCP 47 tag beside it.
        if (!t.language.empty() && t.language != "und") SetTag(s.tags, "language", t.language);
        if (!t.name.empty()) SetTag(s.tags, "title", t.name);
        m_tracks.push_back(t);
    }

    void Announce(TrackEntry& t) {
        if (t.announced) return;
        t.announced = true;
        // Time stamps count TimestampScale nanoseconds.
        int64_t num = static_cast<int64_t>(std::min<uint64_t>(m_scale, INT64_MAX)), den = 1000000000;
        for (int64_t a = num, b = den; b;) {
            const int64_t r = a % b;
            a = b, b = r;
            if (!b) num /= a, den /= a;
        }
        t.info.timeBase = {num, den};
        if (t.codecDelay && m_scale)
            t.delay = RoundTime(static_cast<double>(t.codecDelay) / static_cast<double>(m_scale));
        t.wanted = m_sink.OnStream(t.info);
    }

    TrackEntry* TrackByNumber(uint64_t n) {
        if (m_lastTrack < m_tracks.size() && m_tracks[m_lastTrack].number == n) return &m_tracks[m_lastTrack];
        for (size_t i = 0; i < m_tracks.size(); ++i)
            if (m_tracks[i].number == n) return &m_tracks[m_lastTrack = i];
        return nullptr;
    }

    TagNode* Top() {
        return m_tagStack.empty() ? nullptr : &m_tag.nodes[static_cast<size_t>(m_tagStack.back())];
    }

    // A key set as ffmpeg's dictionaries set it: the same key in other letter case is
    // replaced, its place taken by the last entry; a tag without a value removes the key.
    static void DictSet(std::vector<Tag>& dict, const std::string& key, const std::string* value) {
        for (size_t i = 0; i < dict.size(); ++i) {
            if (dict[i].key.size() != key.size()) continue;
            bool same = true;
            for (size_t k = 0; k < key.size() && same; ++k)
                same = std::tolower(static_cast<unsigned char>(key[k])) == std::tolower(static_cast<unsigned char>(dict[i].key[k]));
            if (!same) continue;
            dict[i] = dict.back();
            dict.pop_back();
            break;
        }
        if (value) dict.push_back({key, *value});
    }

    // A SimpleTag and those nested in it, as ffmpeg names them: PARENT/CHILD, a language
    // other than und as a -lang suffix.
    void Convert(const TagGroup& g, int index, std::vector<Op>& ops, ptrdiff_t track, const std::string& prefix, int depth) {
        const TagNode& n = g.nodes[static_cast<size_t>(index)];
        if (n.name.empty() || depth > 16 || ops.size() >= kMaxTagOps) return;
        const bool lang = !n.lang.empty() && n.lang != "und";
        const std::string key = prefix.empty() ? n.name : prefix + "/" + n.name;
        if (n.def || !lang) {
            ops.push_back({track, key, n.value, n.hasValue});
            for (int c : n.children) Convert(g, c, ops, track, key, depth + 1);
        }
        if (lang) {
            ops.push_back({track, key + "-" + n.lang, n.value, n.hasValue});
            for (int c : n.children) Convert(g, c, ops, track, key + "-" + n.lang, depth + 1);
        }
    }

    // Tags that name a track go to its stream, those that name nothing to the file (with
    // their target type before the key); those of chapters and attachments nowhere.
    void EndTag() {
        m_tagStack.clear();
        if (m_tag.other) return;
        if (m_tag.track) {
            for (TrackEntry& t : m_tracks)
                if (t.uid == m_tag.track)
                    for (int r : m_tag.roots) Convert(m_tag, r, m_trackOps, &t - m_tracks.data(), std::string(), 0);
            return;
        }
        for (int r : m_tag.roots) Convert(m_tag, r, m_formatOps, -1, m_tag.type, 0);
    }

    void FinalTags(TrackEntry& t) {
        const ptrdiff_t index = &t - m_tracks.data();
        for (const Op& o : m_trackOps)
            if (o.track == index) DictSet(t.info.tags, o.key, o.has ? &o.value : nullptr);
        Rename(t.info.tags);
    }

    // ffmpeg's own names for two Matroska tags.
    static void Rename(std::vector<Tag>& tags) {
        for (Tag& t : tags) {
            if (t.key == "LEAD_PERFORMER") t.key = "performer";
            else if (t.key == "PART_NUMBER") t.key = "track";
        }
    }

    void EndAttachment() {
        StreamInfo a;
        a.id = -1;
        a.kind = StreamKind::kAttachment;
        a.codec = EsCodec::kOther;
        const std::string& m = m_fileMime;
        a.codecName = m == "application/x-truetype-font" || m == "font/ttf" || m == "application/x-font-ttf" ? "ttf"
                      : m == "application/vnd.ms-opentype" || m == "font/otf" ? "otf" : "";
        if (!m_fileName.empty()) a.tags.push_back({"filename", m_fileName});
        if (!m.empty()) a.tags.push_back({"mimetype", m});
        if (m_attachments.size() < kMaxTracks) m_attachments.push_back(a);
    }

    // --- blocks -----------------------------------------------------------------------

    // The block header: track number, time code, flags, and the lacing sizes.
    void BlockBytes(const uint8_t* p, size_t n) {
        const size_t room = static_cast<size_t>(std::min<int64_t>(m_blockEnd - m_pos, static_cast<int64_t>(n)));
        size_t i = 0;
        while (i < room) {
            m_blk.push_back(p[i++]);
            const int r = ParseBlockHeader();
            if (r == 0) {
                if (m_blk.size() >= kMaxLaceHeader) break;
                continue;
            }
            m_pos += static_cast<int64_t>(i);
            if (r < 0) return BadBlock();
            return StartFrames();
        }
        m_pos += static_cast<int64_t>(i);
        if (m_pos >= m_blockEnd || m_blk.size() >= kMaxLaceHeader) BadBlock();
    }

    // 1 once m_blk holds the whole header (m_frames filled), 0 when it needs more, -1 when
    // the block is broken.
    int ParseBlockHeader() {
        const std::vector<uint8_t>& b = m_blk;
        const int trackLen = VintLength(b[0]);
        if (trackLen == 0 || trackLen > 8) return -1;
        if (b.size() < static_cast<size_t>(trackLen) + 3) return 0;
        uint64_t track = b[0] & (0xFFu >> trackLen);
        for (int k = 1; k < trackLen; ++k) track = track << 8 | b[static_cast<size_t>(k)];
        const size_t at = static_cast<size_t>(trackLen);
        const int16_t rel = static_cast<int16_t>(static_cast<uint16_t>(b[at] << 8 | b[at + 1]));
        const uint8_t flags = b[at + 2];
        const int lacing = (flags >> 1) & 3;
        const int64_t total = m_blockEnd - m_blockStart;
        m_blockTrack = track;
        m_blockTime = WrapAdd(m_clusterTime, rel);
        m_blockKey = m_blockSimple && (flags & 0x80);
        m_frames.clear();
        const int64_t headerLen = static_cast<int64_t>(at) + 3;
        if (lacing == 0) {
            m_frames.push_back(total - headerLen);
            return total - headerLen >= 0 ? 1 : -1;
        }
        if (b.size() < at + 4) return 0;
        const size_t count = static_cast<size_t>(b[at + 3]) + 1;
        size_t k = at + 4;
        int64_t sum = 0;
        if (lacing == 2) {  // fixed: equal sizes
            const int64_t rest = total - static_cast<int64_t>(k);
            if (rest < 0 || rest % static_cast<int64_t>(count)) return -1;
            m_frames.assign(count, rest / static_cast<int64_t>(count));
            m_laceHeader = static_cast<int64_t>(k);
            return 1;
        }
        for (size_t f = 0; f + 1 < count; ++f) {
            int64_t size = 0;
            if (lacing == 1) {  // Xiph: 255 adds on
                for (;;) {
                    if (k >= b.size()) return 0;
                    size += b[k];
                    if (b[k++] != 255) break;
                }
            } else {  // EBML: the first size, then signed differences
                if (k >= b.size()) return 0;
                const int len = VintLength(b[k]);
                if (len == 0) return -1;
                if (b.size() < k + static_cast<size_t>(len)) return 0;
                uint64_t v = b[k] & (0xFFu >> len);
                for (int j = 1; j < len; ++j) v = v << 8 | b[k + static_cast<size_t>(j)];
                k += static_cast<size_t>(len);
                if (f == 0) size = static_cast<int64_t>(v);
                else size = m_frames.back() + static_cast<int64_t>(v) - ((int64_t{1} << (7 * len - 1)) - 1);
            }
            if (size < 0 || size > total) return -1;
            m_frames.push_back(size);
            sum += size;
        }
        const int64_t last = total - static_cast<int64_t>(k) - sum;
        if (last < 0) return -1;
        m_frames.push_back(last);
        m_laceHeader = static_cast<int64_t>(k);
        return 1;
    }

    void BadBlock() {
        if (m_problems.Room()) m_problems.Add("invalid block at offset %" PRId64, m_blockStart);
        m_pos = m_blockEnd;
        m_state = kInHead;
    }

    void StartFrames() {
        TrackEntry* t = TrackByNumber(m_blockTrack);
        if (!t) {
            if (std::find(m_skipped.begin(), m_skipped.end(), m_blockTrack) == m_skipped.end()) ++m_unknownTrack;
            m_pos = m_blockEnd;
            m_state = kInHead;
            return;
        }
        // Header stripping: the stripped bytes come back before each frame.
        m_frameTrack = t;
        m_frameIndex = 0;
        NextFrame();
    }

    void NextFrame() {
        TrackEntry& t = *m_frameTrack;
        while (m_frameIndex < m_frames.size()) {
            const size_t f = m_frameIndex++;
            Sample s;
            s.pos = m_blockStart;
            s.size = m_frames[f];
            const std::vector<uint8_t>& prefix = t.compAlgo == 3 ? t.compSettings : m_noPrefix;
            s.size += static_cast<int64_t>(prefix.size());
            // Laced frames share the block's time out by its duration, as ffmpeg shares it;
            // without one, the frames after the first have no time stamp.
            const int64_t laces = static_cast<int64_t>(m_frames.size());
            const int64_t span = t.defaultDuration && m_scale
                                     ? static_cast<int64_t>(std::min<uint64_t>(t.defaultDuration, INT64_MAX / 256) *
                                                            static_cast<uint64_t>(laces) / m_scale)
                                     : 0;
            const int64_t at = static_cast<int64_t>(f);
            const int64_t time = WrapAdd(m_blockTime, -t.delay);
            s.pts = f == 0 ? time : span ? WrapAdd(time, span * at / laces) : kNoTime;
            s.duration = span ? span * (at + 1) / laces - span * at / laces : 0;
            s.key = m_blockKey && f == 0;
            if (t.info.startTime == kNoTime && f == 0) t.info.startTime = time;
            if (!m_sink.OnSample(t.info.id, s) || s.size <= 0) {
                m_pos += m_frames[f];
                continue;
            }
            m_frameLeft = m_frames[f];
            if (!prefix.empty()) {
                const int64_t skip = m_sink.OnSampleData(t.info.id, prefix.data(), prefix.size());
                if (skip >= m_frameLeft) {
                    m_pos += m_frameLeft;
                    continue;
                }
                m_pos += skip;
                m_frameLeft -= skip;
            }
            if (m_frameLeft <= 0) continue;
            m_state = kInFrame;
            return;
        }
        m_pos = m_blockEnd;
        m_state = kInHead;
    }

    void FrameBytes(const uint8_t* p, size_t n) {
        const size_t give = static_cast<size_t>(std::min<int64_t>(m_frameLeft, static_cast<int64_t>(n)));
        const int64_t skip = m_sink.OnSampleData(static_cast<int>(m_frameTrack->info.id), p, give);
        m_pos += static_cast<int64_t>(give);
        m_frameLeft -= static_cast<int64_t>(give);
        const int64_t passed = std::min(std::max<int64_t>(skip, 0), m_frameLeft);
        m_pos += passed;
        m_frameLeft -= passed;
        if (m_frameLeft <= 0) NextFrame();
    }

    // The file ends at size; what was read past (a skipped frame) may lie beyond it.
    void EndOfFile(int64_t size) {
        if (m_state == kInDone) return;
        if (m_state == kInValue || m_state == kInBlock || m_state == kInFrame || (m_state == kInHead && m_hdrHave) ||
            m_pos > size)
            m_problems.Add("the file ends at offset %" PRId64 ", inside the element at offset %" PRId64, size, m_elemStart);
        for (const Open& o : m_stack)
            if (o.end != kUnknown && o.end > size && o.id != kSegment && m_problems.Room())
                m_problems.Add("element 0x%X cut short by the end of the file", o.id);
        while (!m_stack.empty()) Close();
        if (m_docType.empty() && !m_segments) m_problems.Add("no EBML header or segment");
        m_state = kInDone;
    }

    EsSink& m_sink;
    ContainerFacts m_facts;
    Problems m_problems;
    State m_state = kInHead;
    int64_t m_pos = 0;
    int64_t m_elemStart = 0;
    uint8_t m_hdr[12];
    size_t m_hdrHave = 0, m_headerLen = 0;
    uint32_t m_window = 0;
    std::vector<Open> m_stack;
    int m_segments = 0;

    uint32_t m_valueId = 0;
    size_t m_valueWant = 0;
    std::vector<uint8_t> m_value;

    std::string m_docType, m_title, m_muxingApp, m_created;
    uint64_t m_scale = 1000000;
    double m_duration = 0;

    bool m_tracksSeen = false;
    TrackEntry m_track;
    std::vector<TrackEntry> m_tracks;
    size_t m_lastTrack = 0;
    std::vector<StreamInfo> m_attachments;
    std::vector<uint64_t> m_skipped;  // tracks ffmpeg does not list

    TagGroup m_tag;              // the Tag being read
    std::vector<int> m_tagStack; // its SimpleTags open, innermost last
    std::vector<Op> m_formatOps, m_trackOps;
    std::string m_fileName, m_fileMime;

    int64_t m_clusterTime = 0;
    int64_t m_blockStart = 0, m_blockEnd = 0, m_blockTime = 0, m_laceHeader = 0;
    uint64_t m_blockTrack = 0, m_unknownTrack = 0;
    bool m_blockSimple = false, m_blockKey = false;
    std::vector<uint8_t> m_blk;
    std::vector<int64_t> m_frames;
    size_t m_frameIndex = 0;
    TrackEntry* m_frameTrack = nullptr;
    int64_t m_frameLeft = 0;
    const std::vector<uint8_t> m_noPrefix;
};

}  // namespace

std::unique_ptr<Demuxer> MakeMkvDemux(EsSink& sink) {
    return std::unique_ptr<Demuxer>(new MkvDemux(sink));
}

}  // namespace qvutil
