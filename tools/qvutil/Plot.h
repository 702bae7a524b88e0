#pragma once

// qvutil plot: a picture of each video stream's frame sizes (bars by picture type, key
// frames and GOP boundaries marked), its bit rate over a sliding window with its average,
// peak and the HRD/VBV maximum the stream declares, and the audio streams' bit rates under
// it. Written as SVG by the tool itself (or HTML that wraps the same SVG with a little
// script for hover details). Past a few thousand frames the bars are binned per pixel
// column (least, most and mean size), so that hours of video stay a light picture. The
// numbers plotted are embedded in the picture (a JSON metadata element) as well.

#include <cstdint>
#include <string>
#include <vector>

namespace qvutil {

struct PlotFrame {
    int64_t size = 0;
    char type = '?';  // I, P, B, or another
    bool key = false, idr = false;
    double time = -1;  // seconds, in the order plotted; -1 where the stream gives none
};

struct PlotAudio {
    int id = 0;
    std::string title;
    std::vector<std::pair<double, int64_t>> packets;  // (seconds, bytes)
};

struct PlotStream {
    int id = -1;        // as inspect shows it; -1 for a bare stream
    std::string title;  // the facts a person checks first
    std::vector<PlotFrame> frames;
    double frameDuration = 0;  // seconds, where the stream has a rate
    double hrdRate = 0;        // bits per second the stream declares as its maximum; 0 none
    int64_t hrdBuffer = 0;     // bits
    std::vector<PlotAudio> audio;
};

// Frames binned into columns: the first frame of each and how many, their least, most and
// mean sizes, how many are key frames, the type most of them have and the largest's type.
struct PlotBin {
    int64_t first = 0, count = 0, minSize = 0, maxSize = 0, keys = 0;
    double mean = 0;
    char type = '?', maxType = '?';
};
std::vector<PlotBin> BinFrames(const std::vector<PlotFrame>& frames, size_t columns);

// Bits per second over the window ending at each frame (frames in time order), and the
// stream's average; empty where the frames have no times.
std::vector<double> WindowRates(const std::vector<PlotFrame>& frames, double window, double frameDuration);

struct PlotOptions {
    double window = 1.0;  // seconds
    bool display = false;  // frames in display order
};

std::string PlotSvg(const std::vector<PlotStream>& streams, const PlotOptions& options);
std::string PlotHtml(const std::string& svg, const std::string& title);

// Bars are binned past this many frames.
constexpr size_t kPlotColumns = 1000;

}  // namespace qvutil
