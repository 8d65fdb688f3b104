// The picture: samples over time, thresholds as lines, nights shaded: the
// model's panels, each on its own scale, sharing the time axis.
#include <errno.h>
#include <math.h>
#include <stdarg.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "replay.h"

namespace replay {

const char kToNightColour[] = "#c0392b";
const char kToDayColour[] = "#d68910";
const char kToDayEq3Colour[] = "#138d75";

namespace {

const double kWidth = 1200.0;
const double kLeft = 90.0;
const double kRight = 30.0;
const double kTop = 92.0;
// Every day and night is at least this wide, however short, so that
// flapping shows.
const double kMinEpisode = 3.0;
// Markers nearer than this to the one before run together: their count is
// written beside them.
const double kMarkerWidth = 8.0;
const double kPlotWidth = kWidth - kLeft - kRight;
const double kPanelGap = 34.0;
const double kBottom = 58.0;

const char kFont[] = "DejaVu Sans, Verdana, Arial, sans-serif";
const char kNightShade[] = "#25336b";
const char kDayShade[] = "white";

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* pattern, ...) {
  char text[512];
  va_list args;
  va_start(args, pattern);
  vsnprintf(text, sizeof text, pattern, args);
  va_end(args);
  return text;
}

// Text for XML, with markup characters escaped. Text from the trace goes
// through printable() first: XML can hold no control characters.
std::string escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else if (c == '>') out += "&gt;";
    else if (c == '"') out += "&quot;";
    else out += c;
  }
  return out;
}

// Maps [lo, hi] onto [0, 1]; halved first so that no difference of two
// finite doubles can overflow.
double unit(double value, double lo, double hi) { return (value / 2 - lo / 2) / (hi / 2 - lo / 2); }

struct Axis {
  double lo;
  double hi;
  double step;
};

// A range that holds every finite value given, widened to whole ticks.
Axis valueAxis(const std::vector<double>& values, double ticks) {
  double lo = INFINITY;
  double hi = -INFINITY;
  for (double v : values) {
    if (!isfinite(v)) continue;
    lo = fmin(lo, v);
    hi = fmax(hi, v);
  }
  if (!isfinite(lo)) lo = hi = 0.0;
  if (!(hi / 2 - lo / 2 > 0.0)) {
    const double pad = fmax(1.0, fabs(lo) * 0.1);
    lo -= pad;
    hi += pad;
  }
  const double step = niceStep((hi / 2 - lo / 2) / (ticks / 2));
  Axis axis{floor(lo / step) * step, ceil(hi / step) * step, step};
  if (!isfinite(axis.lo) || !isfinite(axis.hi) || !(axis.hi > axis.lo)) axis = Axis{lo, hi, (hi / 2 - lo / 2) / 2};
  return axis;
}

std::string tickLabel(double value, double step) {
  if (fabs(value) < step * 1e-9) value = 0.0;
  if (fabs(value) >= 1e9) return format("%.3g", value);
  const int decimals = step >= 1.0 ? 0 : static_cast<int>(ceil(-log10(step) - 1e-9));
  return format("%.*f", decimals, value);
}

std::string clockLabel(double seconds, bool with_seconds) {
  const long long whole = llround(seconds);
  const long long day = ((whole % 86400) + 86400) % 86400;
  if (with_seconds) return format("%02lld:%02lld:%02lld", day / 3600, day / 60 % 60, day % 60);
  return format("%02lld:%02lld", day / 3600, day / 60 % 60);
}

class Picture {
 public:
  Picture(const Model& model, const Recording& recording, const ReadNotes& notes, const Settings& with,
          const Outcome& outcome)
      : model_(model), recording_(recording), notes_(notes), with_(with), outcome_(outcome) {
    for (size_t i = 0; i < recording.size(); ++i)
      xs_.push_back(recording.has_times ? recording.times[i] : static_cast<double>(i + 1));
    x_lo_ = xs_.front();
    x_hi_ = xs_.back() > x_lo_ ? xs_.back() : x_lo_ + 1.0;
  }

  std::string draw() {
    const std::vector<Panel> panels = model_.panels(outcome_, with_);
    height_ = kTop + kBottom + kPanelGap * static_cast<double>(panels.size() - 1);
    for (const Panel& panel : panels) height_ += panel.height;

    out_ += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out_ += format("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%.0f\" height=\"%.0f\" viewBox=\"0 0 %.0f %.0f\" "
                   "font-family=\"%s\" font-size=\"12\">\n",
                   kWidth, height_, kWidth, height_, kFont);
    const std::string title = printable(notes_.name) + ": " + std::to_string(outcome_.switches.size()) + " switch" +
                              (outcome_.switches.size() == 1 ? "" : "es") + " with lumenflip " + model_.options(with_);
    out_ += "<title>" + escape(title) + "</title>\n";
    out_ += format("<rect width=\"%.0f\" height=\"%.0f\" fill=\"white\"/>\n", kWidth, height_);
    out_ += format("<text x=\"%.0f\" y=\"26\" font-size=\"16\" font-weight=\"bold\">%s</text>\n", kLeft,
                   escape(title).c_str());
    double top = kTop;
    for (size_t k = 0; k < panels.size(); ++k) {
      drawPanel(panels[k], top, k == 0, k + 1 == panels.size());
      top += panels[k].height + kPanelGap;
    }
    out_ += "</svg>\n";
    return out_;
  }

 private:
  struct Place {
    double top;
    double height;
    Axis axis;
  };

  double px(double x) const { return kLeft + unit(x, x_lo_, x_hi_) * kPlotWidth; }
  double py(const Place& panel, double v) const {
    return panel.top + panel.height - unit(v, panel.axis.lo, panel.axis.hi) * panel.height;
  }

  void drawPanel(const Panel& panel, double top, bool first, bool last) {
    std::vector<double> all;
    for (const Series& series : panel.series) all.insert(all.end(), series.values.begin(), series.values.end());
    for (const Threshold& threshold : panel.thresholds) all.push_back(threshold.value);
    const Place place{top, panel.height, valueAxis(all, panel.height > 300.0 ? 8 : 5)};
    if (first) {
      std::vector<std::pair<std::string, std::string>> items;
      for (const LegendItem& item : panel.legend)
        items.emplace_back(lineSwatch(item.colour, item.width, item.dashed), item.text);
      items.emplace_back(shadeSwatch(), "night mode");
      items.emplace_back(markSwatch(), "switch to night, to day");
      legend(items);
    }
    frame(place, panel.label, last, first);
    for (const Series& series : panel.series) out_ += path(place, series.values, series.colour, series.width);
    for (const Threshold& line : panel.thresholds) threshold(place, line.value, line.colour, line.label, line.below);
  }

  void legend(const std::vector<std::pair<std::string, std::string>>& items) {
    // Each item: a swatch (SVG elements drawn at the origin) and its text.
    double x = kLeft;
    const double y = 50.0;
    for (const auto& item : items) {
      out_ += format("<g transform=\"translate(%.1f %.1f)\">", x, y) + item.first;
      out_ += format("<text x=\"26\" y=\"4\">%s</text></g>\n", escape(item.second).c_str());
      x += 26.0 + 7.0 * static_cast<double>(item.second.size()) + 22.0;
    }
  }

  static std::string lineSwatch(const char* colour, double width, bool dashed) {
    return format("<line x1=\"0\" y1=\"0\" x2=\"20\" y2=\"0\" stroke=\"%s\" stroke-width=\"%.1f\"%s/>", colour, width,
                  dashed ? " stroke-dasharray=\"6 4\"" : "");
  }

  static std::string shadeSwatch() {
    return format("<rect x=\"0\" y=\"-7\" width=\"20\" height=\"14\" fill=\"%s\" fill-opacity=\"0.18\"/>", kNightShade);
  }

  void frame(const Place& panel, const std::string& label, bool x_labels, bool markers) {
    const double bottom = panel.top + panel.height;
    out_ += "<g>\n";
    shadeNights(panel);
    if (markers) markSwitches(panel);
    // Value ticks and grid.
    int count = 0;
    for (double v = panel.axis.lo; v <= panel.axis.hi + panel.axis.step * 1e-6 && count < 40;
         v += panel.axis.step, ++count) {
      const double y = py(panel, v);
      out_ += format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#dddddd\"/>", kLeft, y,
                     kLeft + kPlotWidth, y);
      out_ += format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\">%s</text>\n", kLeft - 6, y + 4,
                     tickLabel(v, panel.axis.step).c_str());
    }
    // Time ticks.
    for (const auto& tick : timeTicks()) {
      const double x = px(tick.first);
      out_ += format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#eeeeee\"/>", x, panel.top, x,
                     bottom);
      out_ += format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"#333333\"/>", x, bottom, x,
                     bottom + 5);
      if (x_labels)
        out_ += format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n", x, bottom + 18,
                       escape(tick.second).c_str());
    }
    out_ += format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"none\" stroke=\"#333333\"/>\n",
                   kLeft, panel.top, kPlotWidth, panel.height);
    out_ += format("<text transform=\"translate(%.1f %.1f) rotate(-90)\" text-anchor=\"middle\">%s</text>\n",
                   kLeft - 62, panel.top + panel.height / 2, escape(label).c_str());
    if (x_labels)
      out_ += format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"middle\">%s</text>\n", kLeft + kPlotWidth / 2,
                     bottom + 40, escape(timeTitle()).c_str());
    out_ += "</g>\n";
  }

  double episodeX(size_t sample) const { return px(xs_[sample < xs_.size() ? sample : xs_.size() - 1]); }

  void shadeNights(const Place& panel) {
    const std::vector<Period> list = periods(recording_, outcome_.switches);
    // Nights first, then the days between them that would be too narrow
    // to see, cut back out of the nights around them.
    for (bool night : {true, false}) {
      for (const Period& period : list) {
        if (period.night != night) continue;
        const double x0 = episodeX(period.start);
        const double x1 = episodeX(period.end);
        if (!night && (!period.complete || x1 - x0 >= kMinEpisode)) continue;
        out_ += format("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"%s\"%s/>\n", x0, panel.top,
                       fmax(x1 - x0, kMinEpisode), panel.height, night ? kNightShade : kDayShade,
                       night ? " fill-opacity=\"0.18\"" : "");
      }
    }
  }

  // A row of small triangles over the plot for each kind of switch, so
  // that a switch back soon after still shows; where they run together,
  // their count.
  void markSwitches(const Place& panel) {
    for (bool night : {true, false}) {
      const double tip = panel.top - (night ? 1.0 : 12.0);
      const char* colour = night ? kToNightColour : kToDayColour;
      double last = -INFINITY;
      size_t run = 0;
      const auto count = [&]() {
        if (run > 1)
          out_ += format("<text x=\"%.1f\" y=\"%.1f\" font-size=\"10\" fill=\"%s\">%zu</text>\n", last + 6,
                         tip - 1, colour, run);
      };
      for (const Switch& change : outcome_.switches) {
        if (change.night != night) continue;
        const double x = px(xs_[change.sample]);
        if (x - last >= kMarkerWidth) {
          count();
          run = 0;
        }
        ++run;
        last = x;
        out_ += format("<path d=\"M%.1f %.1f l-4 -8 h8 z\" fill=\"%s\"/>\n", x, tip, colour);
      }
      count();
    }
  }

  static std::string markSwatch() {
    return format("<path d=\"M6 8 l-4 -8 h8 z\" fill=\"%s\"/><path d=\"M16 -1 l-4 -8 h8 z\" fill=\"%s\"/>", kToNightColour,
                  kToDayColour);
  }

  // One path through the values, NaN leaving a gap. Long traces keep, per
  // pixel column, the first, lowest, highest and last value, so that every
  // spike still shows.
  std::string path(const Place& panel, const std::vector<double>& values, const char* colour, double width) const {
    std::string d;
    bool open = false;
    long column = 0;
    std::vector<std::pair<double, double>> bucket;
    auto flush = [&]() {
      if (bucket.empty()) return;
      size_t lo = 0, hi = 0;
      for (size_t k = 1; k < bucket.size(); ++k) {
        if (bucket[k].second < bucket[lo].second) lo = k;
        if (bucket[k].second > bucket[hi].second) hi = k;
      }
      std::vector<size_t> keep = {0, lo, hi, bucket.size() - 1};
      std::sort(keep.begin(), keep.end());
      for (size_t k = 0; k < keep.size(); ++k) {
        if (k > 0 && keep[k] == keep[k - 1]) continue;
        const auto& point = bucket[keep[k]];
        d += format("%s%.1f %.1f ", open ? "L" : "M", point.first, point.second);
        open = true;
      }
      bucket.clear();
    };
    for (size_t i = 0; i < values.size(); ++i) {
      if (!isfinite(values[i])) {
        flush();
        open = false;
        continue;
      }
      const double x = px(xs_[i]);
      const long c = lround(floor(x));
      if (!bucket.empty() && c != column) flush();
      column = c;
      bucket.emplace_back(x, py(panel, values[i]));
    }
    flush();
    if (d.empty()) return "";
    return format("<path fill=\"none\" stroke=\"%s\" stroke-width=\"%.1f\" stroke-linejoin=\"round\" d=\"", colour,
                  width) +
           d + "\"/>\n";
  }

  void threshold(const Place& panel, double value, const char* colour, const std::string& label, bool below) {
    if (!isfinite(value)) return;
    const double y = py(panel, value);
    out_ += format("<line x1=\"%.1f\" y1=\"%.1f\" x2=\"%.1f\" y2=\"%.1f\" stroke=\"%s\" stroke-width=\"1.5\" "
                   "stroke-dasharray=\"6 4\"/>\n",
                   kLeft, y, kLeft + kPlotWidth, y, colour);
    out_ += format("<text x=\"%.1f\" y=\"%.1f\" text-anchor=\"end\" fill=\"%s\" stroke=\"white\" stroke-width=\"3\" "
                   "paint-order=\"stroke\">%s</text>\n",
                   kLeft + kPlotWidth - 6, below ? y + 15 : y - 5, colour, escape(label).c_str());
  }

  std::string timeTitle() const {
    if (!recording_.has_times) return "sample";
    if (recording_.clock_times) return "time of day";
    return timeStep() >= 60.0 ? "time (h:mm)" : "time (s)";
  }

  double timeStep() const {
    static const double kSteps[] = {1,    2,    5,    10,    15,    30,    60,    120,   300,  600,
                                    900,  1800, 3600, 7200,  10800, 21600, 43200, 86400};
    const double span = x_hi_ - x_lo_;
    for (double step : kSteps)
      if (span / step <= 12.0) return step;
    return 86400.0 * niceStep(span / 86400.0 / 8);
  }

  std::vector<std::pair<double, std::string>> timeTicks() const {
    std::vector<std::pair<double, std::string>> ticks;
    const bool times = recording_.has_times;
    const double step = times ? timeStep() : niceStep((x_hi_ / 2 - x_lo_ / 2) / 4);
    if (!(step > 0.0) || !isfinite(step)) return ticks;
    for (double x = ceil(x_lo_ / step) * step; x <= x_hi_ && ticks.size() < 64; x += step) {
      std::string label;
      if (!times) {
        label = tickLabel(x, step);
      } else if (recording_.clock_times) {
        label = clockLabel(x, step < 60.0);
      } else if (step >= 60.0) {
        const long long minutes = llround(x / 60.0);
        label = format("%lld:%02lld", minutes / 60, (minutes % 60 + 60) % 60);
      } else {
        label = tickLabel(x, step);
      }
      ticks.emplace_back(x, label);
    }
    return ticks;
  }

  const Model& model_;
  const Recording& recording_;
  const ReadNotes& notes_;
  const Settings& with_;
  const Outcome& outcome_;
  std::vector<double> xs_;
  double x_lo_;
  double x_hi_;
  double height_ = 0.0;
  std::string out_;
};

}  // namespace

bool writeSvg(const std::string& path, const Model& model, const Recording& recording, const ReadNotes& notes,
              const Settings& with, const Outcome& outcome) {
  const std::string svg = Picture(model, recording, notes, with, outcome).draw();
  FILE* out = fopen(path.c_str(), "w");
  if (!out) {
    fprintf(stderr, "lumenflip-replay: cannot write %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  const bool written = fwrite(svg.data(), 1, svg.size(), out) == svg.size();
  if (fclose(out) != 0 || !written) {
    fprintf(stderr, "lumenflip-replay: cannot write %s: %s\n", path.c_str(), strerror(errno));
    return false;
  }
  return true;
}

}  // namespace replay
