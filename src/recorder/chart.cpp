#include "recorder/chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>
#include <sstream>

#include "protocol/number_text.h"
#include "recorder/text.h"

namespace treemon::recorder {
namespace {

constexpr int WIDTH = 1100;
constexpr int HEIGHT = 980;
constexpr size_t LEGEND_CHARACTERS = 40;

struct Point {
  double t = 0;
  double v = 0;
};

struct Line {
  std::string label;
  std::string_view color;
  int width = 2;
  std::vector<std::optional<Point>> points;
};

struct ByteUnit {
  std::string_view name;
  double size;
};

ByteUnit byte_unit(double max) {
  if (max >= 1024.0 * 1024 * 1024) return {"GiB", 1024.0 * 1024 * 1024};
  if (max >= 1024.0 * 1024) return {"MiB", 1024.0 * 1024};
  if (max >= 1024) return {"KiB", 1024};
  return {"B", 1};
}

// `value` with `digits` significant digits, as the nearest double.
double to_precision(double value, int digits) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*g", digits, value);
  return std::strtod(text, nullptr);
}

std::string number_text(double value) {
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    return std::to_string(static_cast<long long>(value));
  }
  char buffer[NUMBER_TEXT_CAPACITY];
  return std::string(format_double_text(value, buffer));
}

std::string tick_text(double value) { return number_text(to_precision(value, 3)); }

std::string escape_xml(std::string_view text) {
  std::string out;
  for (const char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::string one_decimal(double value) { return fixed(value, 1); }

std::vector<std::string> draw_line(const Line& line, double x_max, const PanelBox& box, double unit,
                                   double y_max) {
  const auto x = [x_max](double ms) {
    return PLOT_LEFT + ms / 1000 / x_max * (PLOT_RIGHT - PLOT_LEFT);
  };
  const auto y = [&box, unit, y_max](double v) {
    return box.bottom - v / unit / y_max * (box.bottom - box.top);
  };
  std::vector<std::vector<Point>> runs(1);
  for (const auto& point : line.points) {
    if (!point) {
      runs.emplace_back();
    } else {
      runs.back().push_back(*point);
    }
  }
  std::vector<std::string> parts;
  for (const auto& run : runs) {
    if (run.empty()) continue;
    if (run.size() == 1) {
      parts.push_back("<circle cx=\"" + one_decimal(x(run[0].t)) + "\" cy=\"" +
                      one_decimal(y(run[0].v)) + "\" r=\"" +
                      std::to_string(std::max(line.width, 4)) + "\" fill=\"" +
                      std::string(line.color) + "\"/>");
      continue;
    }
    std::string d;
    for (size_t i = 0; i < run.size(); ++i) {
      d += (i == 0 ? "M" : " L") + one_decimal(x(run[i].t)) + "," + one_decimal(y(run[i].v));
    }
    parts.push_back("<path d=\"" + d + "\" fill=\"none\" stroke=\"" + std::string(line.color) +
                    "\" stroke-width=\"" + std::to_string(line.width) +
                    "\" stroke-linejoin=\"round\"/>");
  }
  return parts;
}

std::string panel(const std::string& title, const PanelBox& box, const std::vector<Line>& lines,
                  double duration_ms, double unit) {
  double max_value = 0;
  for (const Line& line : lines) {
    for (const auto& point : line.points) {
      if (point) max_value = std::max(max_value, point->v / unit);
    }
  }
  const std::vector<double> y_ticks = nice_ticks(max_value);
  const std::vector<double> x_ticks = nice_ticks(duration_ms / 1000);
  const double y_max = y_ticks.back();
  const double x_max = x_ticks.back();
  std::ostringstream out;
  out << "<g>\n<text x=\"" << PLOT_LEFT << "\" y=\"" << box.top - 12 << "\" font-size=\"14\">"
      << escape_xml(title) << "</text>\n";
  for (const double tick : y_ticks) {
    const double ty = box.bottom - tick / y_max * (box.bottom - box.top);
    out << "<line x1=\"" << PLOT_LEFT << "\" y1=\"" << one_decimal(ty) << "\" x2=\"" << PLOT_RIGHT
        << "\" y2=\"" << one_decimal(ty) << "\" stroke=\"#e0e0e0\"/>\n";
    out << "<text x=\"" << PLOT_LEFT - 6 << "\" y=\"" << one_decimal(ty + 4)
        << "\" text-anchor=\"end\">" << tick_text(tick) << "</text>\n";
  }
  for (const double tick : x_ticks) {
    const double tx = PLOT_LEFT + tick / x_max * (PLOT_RIGHT - PLOT_LEFT);
    out << "<text x=\"" << one_decimal(tx) << "\" y=\"" << box.bottom + 16
        << "\" text-anchor=\"middle\">" << tick_text(tick) << "</text>\n";
  }
  out << "<rect x=\"" << PLOT_LEFT << "\" y=\"" << box.top << "\" width=\""
      << PLOT_RIGHT - PLOT_LEFT << "\" height=\"" << box.bottom - box.top
      << "\" fill=\"none\" stroke=\"#808080\"/>\n";
  for (const Line& line : lines) {
    for (const std::string& part : draw_line(line, x_max, box, unit, y_max)) out << part << "\n";
  }
  for (size_t i = 0; i < lines.size(); ++i) {
    const int ly = box.top + 10 + static_cast<int>(i) * 20;
    out << "<line x1=\"" << PLOT_RIGHT + 20 << "\" y1=\"" << ly << "\" x2=\"" << PLOT_RIGHT + 50
        << "\" y2=\"" << ly << "\" stroke=\"" << lines[i].color << "\" stroke-width=\""
        << lines[i].width << "\"/>\n";
    out << "<text x=\"" << PLOT_RIGHT + 56 << "\" y=\"" << ly + 4 << "\">"
        << escape_xml(lines[i].label) << "</text>\n";
  }
  out << "</g>";
  return out.str();
}

std::vector<std::string> words_after_program(std::string_view command) {
  std::vector<std::string> words;
  std::istringstream in{std::string(command)};
  std::string word;
  bool first = true;
  while (std::getline(in, word, ' ')) {
    if (std::exchange(first, false)) continue;
    if (!word.empty() && word[0] != '-') words.push_back(word);
  }
  return words;
}

double mean(const std::vector<double>& values, size_t samples) {
  double sum = 0;
  for (const double v : values) sum += v;
  return sum / static_cast<double>(std::max<size_t>(samples, 1));
}

double peak(const std::vector<double>& values, size_t /*samples*/) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

}  // namespace

std::vector<double> nice_ticks(double max) {
  if (!(max > 0)) return {0, 1};
  const double rough = max / 5;
  const double power = std::pow(10, std::floor(std::log10(rough)));
  double step = 10 * power;
  for (const double m : {1.0, 2.0, 5.0, 10.0}) {
    if (m * power >= rough) {
      step = m * power;
      break;
    }
  }
  std::vector<double> ticks;
  for (double v = 0; v < max + step; v += step) ticks.push_back(to_precision(v, 12));
  return ticks;
}

std::optional<std::string> distinctive_argument(const ChartMember& me,
                                                const std::vector<ChartMember>& namesakes) {
  std::vector<std::set<std::string>> theirs;
  for (const ChartMember& other : namesakes) {
    const std::vector<std::string> words = words_after_program(other.command);
    theirs.emplace_back(words.begin(), words.end());
  }
  for (const std::string& word : words_after_program(me.command)) {
    const bool distinct = std::any_of(theirs.begin(), theirs.end(),
                                      [&word](const auto& set) { return !set.contains(word); });
    if (!distinct) continue;
    const std::string base = word.substr(word.find_last_of('/') + 1);
    return base.empty() ? word : base;
  }
  return std::nullopt;
}

uint32_t ChartRecorder::series_index(const std::string& key) {
  const auto [found, added] = index_.emplace(key, static_cast<uint32_t>(series_.size()));
  if (added) series_.push_back(Series{key, {}, {}});
  return found->second;
}

void ChartRecorder::add(const Sample& sample) {
  if (sample.snapshot.processes.empty()) return;
  ChartSample drawn;
  drawn.at_ms = sample.snapshot.sampledAtUnixMs;
  std::unordered_map<uint32_t, size_t> position;
  for (const ProcessSample& p : sample.snapshot.processes) {
    const Rates& r = rates_of(sample.rates, p);
    const Figures figures{r.cpu_percent, static_cast<double>(p.residentBytes),
                          r.read_per_second + r.write_per_second};
    const std::string process_key = std::to_string(p.pid) + "@" + std::to_string(p.startTimeMs);
    const std::string name = printable(p.name.view());
    const uint32_t index = series_index(options_.group ? "name:" + name : process_key);
    Series& series = series_[index];
    series.name = name;
    // A process that is exiting shows its bare name as its command: it keeps the arguments it
    // was seen with.
    if (p.command.view() != p.name.view() || series.member.name.empty()) {
      series.member = ChartMember{p.pid, name, printable(p.command.view())};
    }
    if (options_.group) processes_by_name_[name].insert(key_of(p));
    const auto [at, added] = position.emplace(index, drawn.series.size());
    if (added) drawn.series.emplace_back(index, Figures{});
    Figures& sum = drawn.series[at->second].second;
    sum.cpu += figures.cpu;
    sum.rss += figures.rss;
    sum.io += figures.io;
  }
  drawn.total = Figures{sample.tree.cpu_percent, static_cast<double>(sample.tree.resident_bytes),
                        sample.tree.read_per_second + sample.tree.write_per_second};
  samples_.push_back(std::move(drawn));
}

std::vector<uint32_t> ChartRecorder::top(size_t count, double (*score)(const std::vector<Figures>&,
                                                                       size_t)) const {
  std::vector<std::vector<Figures>> values(series_.size());
  for (const ChartSample& s : samples_) {
    for (const auto& [index, figures] : s.series) values[index].push_back(figures);
  }
  std::vector<std::pair<double, uint32_t>> scored;
  for (uint32_t i = 0; i < values.size(); ++i) {
    const double value = score(values[i], samples_.size());
    if (value > 0) scored.emplace_back(value, i);
  }
  std::sort(scored.begin(), scored.end(), [this](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : series_[a.second].key < series_[b.second].key;
  });
  std::vector<uint32_t> keys;
  for (size_t i = 0; i < scored.size() && i < count; ++i) keys.push_back(scored[i].second);
  return keys;
}

std::vector<std::string> ChartRecorder::labels(const std::vector<uint32_t>& drawn) const {
  std::vector<std::string> labels;
  for (const uint32_t index : drawn) {
    const Series& me = series_[index];
    if (options_.group) {
      const auto found = processes_by_name_.find(me.name);
      const size_t count =
          std::max<size_t>(found == processes_by_name_.end() ? 0 : found->second.size(), 1);
      labels.push_back(shorten_middle(
          me.name + ", " + std::to_string(count) + (count == 1 ? " process" : " processes"),
          LEGEND_CHARACTERS));
      continue;
    }
    std::vector<ChartMember> namesakes;
    for (const uint32_t other : drawn) {
      if (other != index && series_[other].member.name == me.member.name) {
        namesakes.push_back(series_[other].member);
      }
    }
    const std::optional<std::string> argument =
        namesakes.empty() ? std::nullopt : distinctive_argument(me.member, namesakes);
    labels.push_back(shorten_middle(me.member.name + (argument ? " " + *argument : "") + " (" +
                                        std::to_string(me.member.pid) + ")",
                                    LEGEND_CHARACTERS));
  }
  return labels;
}

std::string ChartRecorder::svg(std::string_view title, size_t top_count) const {
  const auto pick_cpu = [](const Figures& f) { return f.cpu; };
  const auto pick_rss = [](const Figures& f) { return f.rss; };
  const auto pick_io = [](const Figures& f) { return f.io; };
  const auto cpu_top = top(top_count, [](const std::vector<Figures>& v, size_t n) {
    std::vector<double> values;
    for (const Figures& f : v) values.push_back(f.cpu);
    return mean(values, n);
  });
  const auto memory_top = top(top_count, [](const std::vector<Figures>& v, size_t n) {
    std::vector<double> values;
    for (const Figures& f : v) values.push_back(f.rss);
    return peak(values, n);
  });
  const auto io_top = top(top_count, [](const std::vector<Figures>& v, size_t n) {
    std::vector<double> values;
    for (const Figures& f : v) values.push_back(f.io);
    return mean(values, n);
  });
  std::vector<uint32_t> drawn;
  for (const auto* list : {&cpu_top, &memory_top, &io_top}) {
    for (const uint32_t index : *list) {
      if (std::find(drawn.begin(), drawn.end(), index) == drawn.end()) drawn.push_back(index);
    }
  }
  const std::vector<std::string> legend = labels(drawn);
  const auto at = [this](const ChartSample& s) {
    return static_cast<double>(
        s.at_ms > options_.started_at_unix_ms ? s.at_ms - options_.started_at_unix_ms : 0);
  };
  const auto lines = [&](const std::vector<uint32_t>& keys, auto pick) {
    std::vector<Line> result;
    Line total{"total of the tree", TOTAL_COLOR, 6, {}};
    for (const ChartSample& s : samples_) total.points.push_back(Point{at(s), pick(s.total)});
    result.push_back(std::move(total));
    for (const uint32_t key : keys) {
      const size_t slot =
          static_cast<size_t>(std::find(drawn.begin(), drawn.end(), key) - drawn.begin());
      Line line{legend[slot], PALETTE[slot % std::size(PALETTE)], 2, {}};
      for (const ChartSample& s : samples_) {
        const auto found = std::find_if(s.series.begin(), s.series.end(),
                                        [key](const auto& entry) { return entry.first == key; });
        line.points.push_back(found == s.series.end()
                                  ? std::nullopt
                                  : std::optional<Point>(Point{at(s), pick(found->second)}));
      }
      result.push_back(std::move(line));
    }
    return result;
  };
  double duration_ms = 1000;
  for (const ChartSample& s : samples_) duration_ms = std::max(duration_ms, at(s));
  const std::vector<Line> cpu = lines(cpu_top, pick_cpu);
  const std::vector<Line> memory = lines(memory_top, pick_rss);
  const std::vector<Line> io = lines(io_top, pick_io);
  const auto largest = [](const std::vector<Line>& all) {
    double max = 1;
    for (const Line& line : all) {
      for (const auto& point : line.points) {
        if (point) max = std::max(max, point->v);
      }
    }
    return max;
  };
  const ByteUnit memory_unit = byte_unit(largest(memory));
  const ByteUnit io_unit = byte_unit(largest(io));
  std::ostringstream out;
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << WIDTH << "\" height=\"" << HEIGHT
      << "\" viewBox=\"0 0 " << WIDTH << " " << HEIGHT
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n";
  out << "<rect width=\"" << WIDTH << "\" height=\"" << HEIGHT << "\" fill=\"#ffffff\"/>\n";
  out << "<text x=\"" << WIDTH / 2 << "\" y=\"24\" text-anchor=\"middle\" font-size=\"16\">"
      << escape_xml(shorten_middle(printable(title), 120)) << "</text>\n";
  out << panel("CPU % (of one processor)", CPU_PANEL, cpu, duration_ms, 1) << "\n";
  out << panel("Resident memory (" + std::string(memory_unit.name) + ")", MEMORY_PANEL, memory,
               duration_ms, memory_unit.size)
      << "\n";
  out << panel("I/O, read + written (" + std::string(io_unit.name) + "/s)", IO_PANEL, io,
               duration_ms, io_unit.size)
      << "\n";
  out << "<text x=\"" << (PLOT_LEFT + PLOT_RIGHT) / 2 << "\" y=\"" << HEIGHT - 12
      << "\" text-anchor=\"middle\">" << escape_xml("time since " + options_.origin + " (s)")
      << "</text>\n</svg>\n";
  return out.str();
}

ChartWriter::ChartWriter(OutputFile file, ChartOptions options, std::string title, size_t top_count)
    : file_(std::move(file)),
      chart_(std::move(options)),
      title_(std::move(title)),
      top_count_(top_count) {}

void ChartWriter::finish(const Summary& /*summary*/) {
  file_.write(chart_.svg("treemon-watch: " + title_, top_count_));
  if (!file_.problem()) {
    std::fprintf(stderr, "treemon-watch: chart of %zu samples written to %s\n",
                 chart_.sample_count(), printable(file_.name()).c_str());
  }
}

}  // namespace treemon::recorder
