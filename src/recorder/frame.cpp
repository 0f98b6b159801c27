#include "recorder/frame.h"

#include <algorithm>
#include <functional>
#include <unordered_map>
#include <unordered_set>

#include "recorder/text.h"

namespace treemon::recorder {
namespace {

// Narrow enough to leave 31 columns of an 80-column terminal to the command.
constexpr size_t NUMBER_COLUMNS = 49;
constexpr size_t DEEPEST_INDENT = 8;

double sort_value(SortKey sort, const ProcessSample& p, const Rates& r) {
  switch (sort) {
    case SortKey::Cpu:
      return r.cpu_percent;
    case SortKey::Memory:
      return static_cast<double>(p.residentBytes);
    case SortKey::Io:
      return r.read_per_second + r.write_per_second;
    case SortKey::Pid:
      return -static_cast<double>(p.pid);
  }
  return 0;
}

std::string padded_left(const std::string& text, size_t width) {
  const size_t length = text_width(text);
  return length >= width ? text : std::string(width - length, ' ') + text;
}

std::string columns(const std::string& pid, const std::string& cpu, const std::string& rss,
                    const std::string& read, const std::string& write, const std::string& command) {
  return padded_left(pid, 7) + " " + padded_left(cpu, 6) + " " + padded_left(rss, 10) + " " +
         padded_left(read, 10) + " " + padded_left(write, 10) + "  " + command;
}

std::string row_line(const TableRow& row, size_t command_room) {
  const std::string indent(2 * std::min(row.depth, DEEPEST_INDENT), ' ');
  const std::string command = printable(display_command(row.process->command.view()));
  const size_t room =
      std::max<size_t>(command_room > indent.size() ? command_room - indent.size() : 0, 10);
  return columns(std::to_string(row.process->pid), fixed(row.rates.cpu_percent),
                 format_bytes(static_cast<double>(row.process->residentBytes)),
                 format_bytes(row.rates.read_per_second), format_bytes(row.rates.write_per_second),
                 indent + shorten_middle(command, room));
}

std::string totals_line(const TreeFigures& tree) {
  return columns("", fixed(tree.cpu_percent),
                 format_bytes(static_cast<double>(tree.resident_bytes)),
                 format_bytes(tree.read_per_second), format_bytes(tree.write_per_second),
                 "TOTAL of " + std::to_string(tree.processes) +
                     (tree.processes == 1 ? " process" : " processes"));
}

}  // namespace

std::vector<TableRow> tree_rows(const Snapshot& snapshot, const RateMap& rates, SortKey sort) {
  std::unordered_map<uint32_t, const ProcessSample*> by_pid;
  for (const ProcessSample& p : snapshot.processes) by_pid[p.pid] = &p;
  std::unordered_map<uint32_t, std::vector<const ProcessSample*>> children;
  std::vector<const ProcessSample*> roots;
  for (const ProcessSample& p : snapshot.processes) {
    const bool has_parent = p.ppid != p.pid && by_pid.contains(p.ppid);
    (has_parent ? children[p.ppid] : roots).push_back(&p);
  }
  const auto before = [&rates, sort](const ProcessSample* a, const ProcessSample* b) {
    const double va = sort_value(sort, *a, rates_of(rates, *a));
    const double vb = sort_value(sort, *b, rates_of(rates, *b));
    return va != vb ? va > vb : a->pid < b->pid;
  };
  std::vector<TableRow> rows;
  std::unordered_set<uint32_t> visited;
  std::function<void(const ProcessSample*, size_t)> visit = [&](const ProcessSample* p,
                                                                size_t depth) {
    if (!visited.insert(p->pid).second) return;
    rows.push_back({depth, p, rates_of(rates, *p)});
    auto& mine = children[p->pid];
    std::sort(mine.begin(), mine.end(), before);
    for (const ProcessSample* child : mine) visit(child, depth + 1);
  };
  std::sort(roots.begin(), roots.end(), before);
  for (const ProcessSample* root : roots) visit(root, 0);
  for (const ProcessSample& p : snapshot.processes) visit(&p, 0);
  return rows;
}

std::vector<std::string> render_frame(const FrameInput& input) {
  const Snapshot& snapshot = input.sample->snapshot;
  const std::string facts = "  elapsed " + format_duration(input.elapsed_ms) + "  sample #" +
                            std::to_string(snapshot.sequence);
  const std::string label = "treemon-watch  ";
  const size_t title_room = std::max<size_t>(
      input.width > label.size() + facts.size() ? input.width - label.size() - facts.size() : 0,
      10);
  std::vector<std::string> header = {
      label + shorten_middle(printable(input.title), title_room) + facts,
      columns("PID", "CPU%", "RESIDENT", "READ/s", "WRITE/s", "COMMAND")};
  std::vector<std::string> footer = {totals_line(input.sample->tree)};
  if (input.ending) footer.push_back(*input.ending);
  std::vector<std::string> output;
  if (input.output_tail != nullptr && !input.output_tail->empty()) {
    output = {"", "output:"};
    for (const std::string& line : *input.output_tail) output.push_back("  " + line);
  }
  const size_t fixed_lines = header.size() + footer.size() + output.size();
  const size_t room =
      std::max<size_t>(input.height > fixed_lines ? input.height - fixed_lines : 0, 1);
  const size_t command_room =
      std::max<size_t>(input.width > NUMBER_COLUMNS ? input.width - NUMBER_COLUMNS : 0, 12);
  const std::vector<TableRow> rows = tree_rows(snapshot, input.sample->rates, input.sort);
  std::vector<std::string> lines = std::move(header);
  const size_t shown = rows.size() > room ? room - 1 : rows.size();
  for (size_t i = 0; i < shown; ++i) lines.push_back(row_line(rows[i], command_room));
  if (shown < rows.size())
    lines.push_back("  ... " + std::to_string(rows.size() - shown) + " more");
  lines.insert(lines.end(), footer.begin(), footer.end());
  lines.insert(lines.end(), output.begin(), output.end());
  lines.resize(std::min(lines.size(), std::max<size_t>(input.height, 1)));
  for (std::string& line : lines) line = fit(line, input.width);
  return lines;
}

}  // namespace treemon::recorder
