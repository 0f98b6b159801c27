#include "recorder/tree_figures.h"

namespace treemon::recorder {

TreeFigures tree_figures(const Snapshot& snapshot, const RateMap& rates) {
  TreeFigures tree;
  for (const ProcessSample& p : snapshot.processes) {
    const Rates& r = rates_of(rates, p);
    ++tree.processes;
    tree.cpu_percent += r.cpu_percent;
    tree.resident_bytes += p.residentBytes;
    tree.read_per_second += r.read_per_second;
    tree.write_per_second += r.write_per_second;
    tree.read_bytes += r.read_bytes;
    tree.write_bytes += r.write_bytes;
  }
  return tree;
}

}  // namespace treemon::recorder
