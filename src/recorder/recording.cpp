#include "recorder/recording.h"

namespace treemon::recorder {

void SeenProcesses::saw(const ProcessKey& key) {
  if (const auto found = where_.find(key); found != where_.end()) {
    order_.splice(order_.end(), order_, found->second);
    return;
  }
  where_[key] = order_.insert(order_.end(), key);
  if (order_.size() > SEEN_KEPT) {
    where_.erase(order_.front());
    order_.pop_front();
  }
}

std::vector<ProcessKey> SeenProcesses::keys() const { return {order_.begin(), order_.end()}; }

Recording::Recording(bool children_fold_into_parent, SummaryRecorder summary,
                     std::vector<std::unique_ptr<SampleWriter>> writers)
    : rates_(children_fold_into_parent),
      summary_(std::move(summary)),
      writers_(std::move(writers)) {}

void Recording::take(const Snapshot& snapshot) {
  if (snapshot.sequence <= last_sequence_) return;
  last_sequence_ = snapshot.sequence;
  RateMap rates = rates_.update(snapshot);
  const TreeFigures tree = tree_figures(snapshot, rates);
  const Sample sample{snapshot, rates, tree};
  summary_.add(sample);
  for (const auto& writer : writers_) writer->take(sample);
  for (const ProcessSample& p : snapshot.processes) seen_.saw(key_of(p));
  if (!snapshot.processes.empty() || !latest_) latest_ = Latest{snapshot, std::move(rates), tree};
}

std::vector<std::string> Recording::finish(const Summary& summary) {
  std::vector<std::string> problems;
  for (const auto& writer : writers_) {
    writer->finish(summary);
    if (auto problem = writer->problem()) problems.push_back(std::move(*problem));
  }
  return problems;
}

}  // namespace treemon::recorder
