#include "Plot.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

namespace qvutil {

namespace {

using Json = nlohmann::ordered_json;

// The picture's frame: plot area, margins and strips.
constexpr double kWidth = 1160, kLeft = 80, kPlotWidth = static_cast<double>(kPlotColumns);
constexpr double kTop = 56, kBars = 280, kAudio = 44;

std::string Num(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

std::string Escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '&') out += "&amp;";
        else if (c == '<') out += "&lt;";
        else if (c == '>') out += "&gt;";
        else if (c == '"') out += "&quot;";
        else if (static_cast<unsigned char>(c) >= 0x20 || c == '\t') out += c;
    }
    return out;
}

const char* Colour(char type) {
    switch (type) {
    case 'I': return "#d62728";
    case 'P': return "#1f77b4";
    case 'B': return "#2ca02c";
    default: return "#7f7f7f";
    }
}

// A step of 1, 2 or 5 times a power of ten that cuts span into about n pieces.
double NiceStep(double span, int n) {
    if (span <= 0) return 1;
    const double raw = span / n, mag = std::pow(10.0, std::floor(std::log10(raw)));
    const double f = raw / mag;
    return (f <= 1 ? 1 : f <= 2 ? 2 : f <= 5 ? 5 : 10) * mag;
}

std::string TimeLabel(double s, double step) {
    char buf[32];
    if (step >= 60 && s >= 60) std::snprintf(buf, sizeof buf, "%d:%02d", static_cast<int>(s) / 60, static_cast<int>(s) % 60);
    else if (step >= 1) std::snprintf(buf, sizeof buf, "%.0f s", s);
    else std::snprintf(buf, sizeof buf, "%.1f s", s);
    return buf;
}

std::string RateLabel(double bps) {
    char buf[32];
    if (bps >= 1e6) std::snprintf(buf, sizeof buf, "%.2f Mbit/s", bps / 1e6);
    else std::snprintf(buf, sizeof buf, "%.0f kbit/s", bps / 1e3);
    return buf;
}

// Where a time lies along the frames (plotted in time order): a fractional frame index.
double IndexAt(const std::vector<PlotFrame>& f, double t) {
    auto it = std::lower_bound(f.begin(), f.end(), t, [](const PlotFrame& a, double v) { return a.time < v; });
    if (it == f.begin()) return 0;
    if (it == f.end()) return static_cast<double>(f.size()) - 1;
    const size_t i = static_cast<size_t>(it - f.begin());
    const double t0 = f[i - 1].time, t1 = f[i].time;
    return static_cast<double>(i - 1) + (t1 > t0 ? (t - t0) / (t1 - t0) : 0);
}

void Panel(std::string& out, const PlotStream& s, const PlotOptions& o, double y0, Json& meta) {
    const std::vector<PlotFrame>& f = s.frames;
    const size_t n = f.size();
    const bool timed = n > 0 && std::all_of(f.begin(), f.end(), [](const PlotFrame& p) { return p.time >= 0; });
    const bool binned = n > kPlotColumns;
    const std::vector<PlotBin> bins = binned ? BinFrames(f, kPlotColumns) : std::vector<PlotBin>();
    const std::vector<double> rates = timed ? WindowRates(f, o.window, s.frameDuration) : std::vector<double>();
    int64_t maxSize = 1, total = 0;
    for (const PlotFrame& p : f) maxSize = std::max(maxSize, p.size), total += p.size;
    double peak = 0;
    for (double r : rates) peak = std::max(peak, r);
    const double span = timed && n ? f.back().time - f.front().time + s.frameDuration : 0;
    const double average = span > 0 ? static_cast<double>(total) * 8 / span : 0;
    const double xUnit = kPlotWidth / static_cast<double>(std::max<size_t>(binned ? kPlotColumns : n, 1));
    auto xOf = [&](double index) {  // a frame index to x
        return kLeft + (binned ? index * kPlotColumns / static_cast<double>(n) : index * xUnit);
    };
    const double base = y0 + kTop + kBars;
    auto yOf = [&](double size) { return base - size / static_cast<double>(maxSize) * kBars; };
    const double rateTop = std::max({peak, s.hrdRate, average, 1.0}) * 1.1;
    auto yRate = [&](double bps) { return base - bps / rateTop * kBars; };

    out += "<g class=\"stream\" data-stream=\"" + std::to_string(s.id) + "\">\n";
    out += "<text x=\"" + Num(kLeft) + "\" y=\"" + Num(y0 + 24) + "\" class=\"title\">" + Escape(s.title) + "</text>\n";
    // Axes: frame size on the left (kbit), bit rate on the right, time or frames below.
    out += "<path class=\"axis\" d=\"M" + Num(kLeft) + " " + Num(y0 + kTop) + "V" + Num(base) + "H" +
           Num(kLeft + kPlotWidth) + "V" + Num(y0 + kTop) + "\"/>\n";
    const double kbitMax = static_cast<double>(maxSize) * 8 / 1000, kStep = NiceStep(kbitMax, 5);
    for (double v = 0; v <= kbitMax + 1e-9; v += kStep)
        out += "<text class=\"tick\" x=\"" + Num(kLeft - 6) + "\" y=\"" + Num(yOf(v * 1000 / 8) + 4) +
               "\" text-anchor=\"end\">" + Num(v).substr(0, Num(v).size() - (kStep >= 1 ? 2 : 0)) + "</text>\n";
    out += "<text class=\"label\" transform=\"translate(" + Num(kLeft - 52) + " " + Num(base - kBars / 2) +
           ") rotate(-90)\" text-anchor=\"middle\">frame size, kbit</text>\n";
    if (timed) {
        const double rStep = NiceStep(rateTop / 1e6, 5);
        for (double v = 0; v * 1e6 <= rateTop; v += rStep)
            out += "<text class=\"tick\" x=\"" + Num(kLeft + kPlotWidth + 6) + "\" y=\"" + Num(yRate(v * 1e6) + 4) +
                   "\">" + (rStep < 1 ? Num(v) : std::to_string(static_cast<int64_t>(v))) + "</text>\n";
        out += "<text class=\"label\" transform=\"translate(" + Num(kLeft + kPlotWidth + 56) + " " +
               Num(base - kBars / 2) + ") rotate(90)\" text-anchor=\"middle\">bit rate, Mbit/s</text>\n";
        const double tStep = NiceStep(span, 8);
        for (double t = 0; t <= span; t += tStep) {
            const double x = xOf(IndexAt(f, f.front().time + t));
            out += "<text class=\"tick\" x=\"" + Num(x) + "\" y=\"" + Num(base + 16) + "\" text-anchor=\"middle\">" +
                   TimeLabel(t, tStep) + "</text>\n";
        }
    } else {
        const double step = NiceStep(static_cast<double>(n), 8);
        for (double i = 0; i < static_cast<double>(n); i += step)
            out += "<text class=\"tick\" x=\"" + Num(xOf(i)) + "\" y=\"" + Num(base + 16) +
                   "\" text-anchor=\"middle\">" + std::to_string(static_cast<int64_t>(i)) + "</text>\n";
    }
    out += "<text class=\"label\" x=\"" + Num(kLeft + kPlotWidth / 2) + "\" y=\"" + Num(base + 34) +
           "\" text-anchor=\"middle\">" + (timed ? "time" : "frame") + " (" + (o.display ? "display" : "decode") +
           " order)</text>\n";

    // GOP boundaries, then the bars.
    Json data = Json::object();
    data["id"] = s.id;
    data["order"] = o.display ? "display" : "decode";
    size_t keys = 0;
    for (const PlotFrame& p : f) keys += p.key;
    if (keys <= 400)
        for (size_t i = 0; i < n; ++i)
            if (f[i].key && i)
                out += "<path class=\"gop\" d=\"M" + Num(xOf(static_cast<double>(i))) + " " + Num(y0 + kTop) + "V" +
                       Num(base) + "\"/>\n";
    if (!binned) {
        Json frames = Json::array();
        const double w = std::max(xUnit * 0.8, 0.5);
        for (size_t i = 0; i < n; ++i) {
            const PlotFrame& p = f[i];
            out += "<rect data-i=\"" + std::to_string(i) + "\" x=\"" + Num(xOf(static_cast<double>(i)) + (xUnit - w) / 2) +
                   "\" y=\"" + Num(yOf(static_cast<double>(p.size))) + "\" width=\"" + Num(w) + "\" height=\"" +
                   Num(base - yOf(static_cast<double>(p.size))) + "\" fill=\"" + Colour(p.type) + "\"/>\n";
            if (p.key)
                out += "<path class=\"" + std::string(p.idr ? "idr" : "key") + "\" d=\"M" +
                       Num(xOf(static_cast<double>(i) + 0.5)) + " " + Num(yOf(static_cast<double>(p.size)) - 2) +
                       "l-4 -7h8z\"/>\n";
            frames.push_back(Json::array({p.size, std::string(1, p.type), p.key ? 1 : 0}));
        }
        data["frames"] = frames;
    } else {
        Json list = Json::array();
        for (size_t k = 0; k < bins.size(); ++k) {
            const PlotBin& b = bins[k];
            const double x = kLeft + static_cast<double>(k);
            out += "<rect data-b=\"" + std::to_string(k) + "\" x=\"" + Num(x) + "\" y=\"" +
                   Num(yOf(static_cast<double>(b.maxSize))) + "\" width=\"1\" height=\"" +
                   Num(yOf(static_cast<double>(b.minSize)) - yOf(static_cast<double>(b.maxSize))) + "\" fill=\"" +
                   Colour(b.maxType) + "\" fill-opacity=\"0.45\"/>\n";
            out += "<rect x=\"" + Num(x) + "\" y=\"" + Num(yOf(b.mean)) + "\" width=\"1\" height=\"" +
                   Num(base - yOf(b.mean)) + "\" fill=\"" + Colour(b.type) + "\"/>\n";
            if (b.keys) out += "<path class=\"key\" d=\"M" + Num(x + 0.5) + " " + Num(y0 + kTop - 2) + "l-3 -6h6z\"/>\n";
            list.push_back(Json::array({b.first, b.count, b.minSize, b.maxSize, b.mean, b.keys}));
        }
        data["bins"] = list;
    }
    // The bit rate, its average and peak, and the maximum the stream declares.
    if (timed) {
        std::string d;
        const size_t step = binned ? std::max<size_t>(1, n / (kPlotColumns * 2)) : 1;
        for (size_t i = 0; i < n; i += step)
            d += (d.empty() ? "M" : "L") + Num(xOf(static_cast<double>(i) + 0.5)) + " " + Num(yRate(rates[i]));
        out += "<path class=\"rate\" d=\"" + d + "\"/>\n";
        out += "<path class=\"average\" d=\"M" + Num(kLeft) + " " + Num(yRate(average)) + "H" +
               Num(kLeft + kPlotWidth) + "\"/>\n";
        out += "<path class=\"peak\" d=\"M" + Num(kLeft) + " " + Num(yRate(peak)) + "H" + Num(kLeft + kPlotWidth) +
               "\"/>\n";
        if (s.hrdRate > 0)
            out += "<path class=\"hrd\" d=\"M" + Num(kLeft) + " " + Num(yRate(s.hrdRate)) + "H" +
                   Num(kLeft + kPlotWidth) + "\"/>\n";
        data["window"] = o.window;
        data["average_bit_rate"] = static_cast<int64_t>(average);
        data["peak_bit_rate"] = static_cast<int64_t>(peak);
    }
    if (s.hrdRate > 0) data["hrd_max_bit_rate"] = static_cast<int64_t>(s.hrdRate);
    // Audio: a thin strip of each stream's bit rate under the time axis.
    double y = base + 44;
    Json audio = Json::array();
    if (timed)
        for (const PlotAudio& a : s.audio) {
            std::vector<PlotFrame> packets;
            for (const auto& pk : a.packets)
                if (pk.first >= 0) packets.push_back({pk.second, 'A', false, false, pk.first});
            std::stable_sort(packets.begin(), packets.end(),
                             [](const PlotFrame& l, const PlotFrame& r) { return l.time < r.time; });
            if (packets.size() < 2) continue;
            const std::vector<double> ar = WindowRates(packets, o.window, 0);
            const double top = std::max(*std::max_element(ar.begin(), ar.end()), 1.0);
            std::string d;
            for (size_t i = 0; i < packets.size(); i += std::max<size_t>(1, packets.size() / 2000))
                d += (d.empty() ? "M" : "L") + Num(xOf(IndexAt(f, packets[i].time) + 0.5)) + " " +
                     Num(y + kAudio - ar[i] / top * (kAudio - 6));
            out += "<path class=\"audio\" d=\"" + d + "\"/>\n";
            out += "<text class=\"tick\" x=\"" + Num(kLeft - 6) + "\" y=\"" + Num(y + kAudio / 2) +
                   "\" text-anchor=\"end\">" + Escape(a.title) + "</text>\n";
            out += "<text class=\"tick\" x=\"" + Num(kLeft + kPlotWidth + 6) + "\" y=\"" + Num(y + 10) + "\">" +
                   RateLabel(top) + "</text>\n";
            audio.push_back(Json::object({{"id", a.id}, {"peak_bit_rate", static_cast<int64_t>(top)}}));
            y += kAudio + 8;
        }
    if (!audio.empty()) data["audio"] = audio;
    // The legend.
    double x = kLeft;
    y += 14;
    auto item = [&](const std::string& mark, const std::string& text) {
        out += mark + "<text class=\"legend\" x=\"" + Num(x + 16) + "\" y=\"" + Num(y + 4) + "\">" + Escape(text) +
               "</text>\n";
        x += 24 + 7.0 * static_cast<double>(text.size());
    };
    for (char t : {'I', 'P', 'B'})
        item("<rect x=\"" + Num(x) + "\" y=\"" + Num(y - 5) + "\" width=\"10\" height=\"10\" fill=\"" + Colour(t) +
                 "\"/>",
             std::string(1, t));
    if (binned) item("", "binned: mean, lighter from least to most");
    item("<path class=\"key\" d=\"M" + Num(x + 5) + " " + Num(y + 4) + "l-4 -7h8z\"/>", "key frame");
    if (timed) {
        item("<path class=\"rate\" d=\"M" + Num(x) + " " + Num(y) + "h12\"/>",
             "bit rate, " + Num(o.window) + " s window");
        item("<path class=\"average\" d=\"M" + Num(x) + " " + Num(y) + "h12\"/>", "average " + RateLabel(average));
        item("<path class=\"peak\" d=\"M" + Num(x) + " " + Num(y) + "h12\"/>", "peak " + RateLabel(peak));
        if (s.hrdRate > 0)
            item("<path class=\"hrd\" d=\"M" + Num(x) + " " + Num(y) + "h12\"/>",
                 "HRD max " + RateLabel(s.hrdRate) +
                     (s.hrdBuffer > 0 ? ", buffer " + std::to_string(s.hrdBuffer / 1000) + " kbit" : ""));
    } else {
        item("", "no time stamps: no bit rate");
    }
    out += "</g>\n";
    meta["streams"].push_back(data);
}

double PanelHeight(const PlotStream& s) {
    return kTop + kBars + 64 + static_cast<double>(s.audio.size()) * (kAudio + 8) + 24;
}

}  // namespace

std::vector<PlotBin> BinFrames(const std::vector<PlotFrame>& frames, size_t columns) {
    std::vector<PlotBin> bins;
    const size_t n = frames.size();
    if (!n || !columns) return bins;
    const size_t count = std::min(n, columns);
    for (size_t k = 0; k < count; ++k) {
        const size_t a = k * n / count, b = (k + 1) * n / count;
        PlotBin bin;
        bin.first = static_cast<int64_t>(a);
        bin.count = static_cast<int64_t>(b - a);
        bin.minSize = frames[a].size, bin.maxSize = frames[a].size;
        int64_t sum = 0;
        std::map<char, int64_t> types;
        for (size_t i = a; i < b; ++i) {
            bin.minSize = std::min(bin.minSize, frames[i].size);
            if (i == a || frames[i].size > bin.maxSize) bin.maxSize = frames[i].size, bin.maxType = frames[i].type;
            sum += frames[i].size;
            bin.keys += frames[i].key;
            ++types[frames[i].type];
        }
        bin.mean = static_cast<double>(sum) / static_cast<double>(b - a);
        bin.type = std::max_element(types.begin(), types.end(), [](const auto& l, const auto& r) {
                       return l.second < r.second;
                   })->first;
        bins.push_back(bin);
    }
    return bins;
}

std::vector<double> WindowRates(const std::vector<PlotFrame>& frames, double window, double frameDuration) {
    // Each frame's rate: the bits of the frames whose times lie within the window that ends
    // where the frame does (its time plus its duration).
    std::vector<double> rates(frames.size());
    int64_t bytes = 0;
    size_t first = 0;
    for (size_t i = 0; i < frames.size(); ++i) {
        bytes += frames[i].size;
        const double end = frames[i].time + frameDuration;
        while (first < i && frames[first].time + frameDuration <= end - window) bytes -= frames[first++].size;
        rates[i] = static_cast<double>(bytes) * 8 / window;
    }
    return rates;
}

std::string PlotSvg(const std::vector<PlotStream>& streams, const PlotOptions& options) {
    double height = 0;
    for (const PlotStream& s : streams) height += PanelHeight(s);
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(kWidth) + "\" height=\"" + Num(height) +
           "\" viewBox=\"0 0 " + Num(kWidth) + " " + Num(height) + "\" font-family=\"sans-serif\">\n";
    out += "<style>.title{font-size:15px;font-weight:bold}.tick{font-size:11px;fill:#333}.label{font-size:12px;fill:#333}"
           ".legend{font-size:12px}.axis{fill:none;stroke:#333}.gop{stroke:#999;stroke-dasharray:3 3}"
           ".key{fill:#000}.idr{fill:#000;stroke:#d62728}.rate{fill:none;stroke:#ff7f0e;stroke-width:1.5}"
           ".average{stroke:#ff7f0e;stroke-dasharray:8 4}.peak{stroke:#ff7f0e;stroke-dasharray:2 3}"
           ".hrd{stroke:#9467bd;stroke-width:1.5}.audio{fill:none;stroke:#8c564b}</style>\n";
    out += "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n";
    Json meta;
    meta["streams"] = Json::array();
    double y = 0;
    std::string panels;
    for (const PlotStream& s : streams) {
        Panel(panels, s, options, y, meta);
        y += PanelHeight(s);
    }
    // The numbers drawn, for scripts and tests ("--" cannot stand in an XML comment, nor "]]>" here).
    std::string json = meta.dump(-1, ' ', false, Json::error_handler_t::replace);
    out += "<metadata id=\"qvutil-plot\"><![CDATA[" + json + "]]></metadata>\n";
    out += panels + "</svg>\n";
    return out;
}

std::string PlotHtml(const std::string& svg, const std::string& title) {
    const size_t start = svg.find("<svg");
    std::string out = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + Escape(title) +
                      "</title>\n<style>body{margin:8px;font-family:sans-serif}#tip{position:fixed;pointer-events:none;"
                      "background:#fff;border:1px solid #999;padding:3px 6px;font-size:12px;display:none}</style>\n"
                      "</head><body>\n";
    out += svg.substr(start == std::string::npos ? 0 : start);
    out += "<div id=\"tip\"></div>\n<script>\n"
           "const meta=JSON.parse(document.getElementById('qvutil-plot').textContent);\n"
           "const tip=document.getElementById('tip');\n"
           "document.querySelectorAll('g.stream').forEach((g,k)=>{const s=meta.streams[k];\n"
           " g.addEventListener('mousemove',e=>{const t=e.target;let text='';\n"
           "  if(t.dataset.i!==undefined){const f=s.frames[+t.dataset.i];"
           "text='frame '+t.dataset.i+': '+f[1]+(f[2]?' key':'')+', '+f[0]+' bytes';}\n"
           "  else if(t.dataset.b!==undefined){const b=s.bins[+t.dataset.b];"
           "text='frames '+b[0]+' to '+(b[0]+b[1]-1)+': '+b[2]+' to '+b[3]+' bytes, mean '+Math.round(b[4])+"
           "(b[5]?', '+b[5]+' key':'');}\n"
           "  if(text){tip.textContent=text;tip.style.display='block';tip.style.left=(e.clientX+12)+'px';"
           "tip.style.top=(e.clientY+12)+'px';}else tip.style.display='none';});\n"
           " g.addEventListener('mouseleave',()=>tip.style.display='none');});\n"
           "</script>\n</body></html>\n";
    return out;
}

}  // namespace qvutil
