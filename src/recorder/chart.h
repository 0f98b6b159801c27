// The recorded chart: CPU %, resident memory and I/O rate of the tree over time since the run
// started, as one SVG file of three panels. Each panel draws the total of the tree as a wide grey
// band and, on top, the processes that used the most (highest mean CPU %, peak memory, most bytes
// moved), or with grouping one band per process name.
//
// Contract:
//  1. A process is one line while its pid and start time stay the same; where it is absent from a
//     sample its line has a gap, and a process seen in one sample only is a dot.
//  2. A sample that lists no process (the last look after the end, the tree gone) is not drawn:
//     it is not a fall of the total to 0.
//  3. Legends tell processes of one name apart by their first argument that differs.
//  4. Every text a process chose passes through printable() and is escaped for XML.
//  5. A chart of no samples is still a valid drawing.
// Main thread only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "recorder/output_file.h"
#include "recorder/recording.h"

namespace treemon::recorder {

inline constexpr std::string_view TOTAL_COLOR = "#a0a0a0";
inline constexpr std::string_view PALETTE[] = {"#1f77b4", "#ff7f0e", "#2ca02c", "#d62728",
                                               "#9467bd", "#8c564b", "#e377c2", "#17becf",
                                               "#bcbd22", "#7f7f7f"};

struct PanelBox {
  int top;
  int bottom;
};
inline constexpr PanelBox CPU_PANEL{60, 300};
inline constexpr PanelBox MEMORY_PANEL{370, 610};
inline constexpr PanelBox IO_PANEL{680, 920};
inline constexpr int PLOT_LEFT = 80;
inline constexpr int PLOT_RIGHT = 760;

// Who a line stands for.
struct ChartMember {
  uint32_t pid = 0;
  std::string name;     // printable
  std::string command;  // printable
};

struct ChartOptions {
  uint64_t started_at_unix_ms = 0;  // time 0 of the time axis
  std::string origin;               // what time 0 is: "the command started"
  bool group = false;
};

class ChartRecorder {
 public:
  explicit ChartRecorder(ChartOptions options) : options_(std::move(options)) {}

  void add(const Sample& sample);
  size_t sample_count() const { return samples_.size(); }
  std::string svg(std::string_view title, size_t top_count) const;

 private:
  struct Figures {
    double cpu = 0;
    double rss = 0;
    double io = 0;  // bytes read and written per second
  };
  struct ChartSample {
    uint64_t at_ms = 0;
    Figures total;
    std::vector<std::pair<uint32_t, Figures>> series;  // by series index
  };
  struct Series {
    std::string key;  // "pid@start", or "name:NAME" when grouped
    std::string name;
    ChartMember member;  // the process as last seen (ungrouped)
  };

  uint32_t series_index(const std::string& key);
  std::vector<uint32_t> top(size_t count,
                            double (*score)(const std::vector<Figures>&, size_t)) const;
  std::vector<std::string> labels(const std::vector<uint32_t>& drawn) const;

  ChartOptions options_;
  std::vector<ChartSample> samples_;
  std::vector<Series> series_;
  std::unordered_map<std::string, uint32_t> index_;
  // With grouping: how many processes each name stood for.
  std::unordered_map<std::string, KeySet> processes_by_name_;
};

// The first argument (not an option) of `me` that some namesake lacks, without its folder.
std::optional<std::string> distinctive_argument(const ChartMember& me,
                                                const std::vector<ChartMember>& namesakes);

// Round steps (1, 2 or 5 times a power of ten): about six ticks from 0 up to at least `max`.
std::vector<double> nice_ticks(double max);

// The chart, drawn at the end into its file.
class ChartWriter final : public SampleWriter {
 public:
  ChartWriter(OutputFile file, ChartOptions options, std::string title, size_t top_count);
  void take(const Sample& sample) override { chart_.add(sample); }
  void finish(const Summary& summary) override;
  std::optional<std::string> problem() const override { return file_.problem(); }

 private:
  OutputFile file_;
  ChartRecorder chart_;
  std::string title_;
  size_t top_count_;
};

}  // namespace treemon::recorder
