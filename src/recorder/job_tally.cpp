#include "recorder/job_tally.h"

namespace treemon::recorder {

std::string_view job_fallback_text(JobFallback fallback) {
  switch (fallback) {
    case JobFallback::NotInJob:
      return "the command could not be put in a job of its own";
    case JobFallback::QueryFailed:
      return "the job's accounting could not be read";
    case JobFallback::ZeroFigures:
      return "the job's accounting answered zero while the tree used CPU time";
  }
  return "";
}

JobTally::JobTally(bool in_job) {
  if (!in_job) fallback_ = JobFallback::NotInJob;
}

std::optional<KernelReading> JobTally::read(const std::optional<JobCounts>& counts,
                                            std::span<const TreeMember> inside,
                                            std::span<const TreeMember> outside) {
  for (const TreeMember& member : outside) {
    outside_[{member.link.pid, member.start_time_ms}] = member.sampled;
  }
  if (fallback_) return std::nullopt;
  if (!counts) {
    fallback_ = JobFallback::QueryFailed;
    return std::nullopt;
  }
  uint64_t sampled_inside_cpu = 0;
  for (const TreeMember& member : inside) sampled_inside_cpu += member.sampled.cpu_100ns;
  if (counts->usage.cpu_100ns == 0 && sampled_inside_cpu > 0) {
    fallback_ = JobFallback::ZeroFigures;
    return std::nullopt;
  }
  KernelReading reading;
  reading.usage = counts->usage;
  for (const auto& [process, sampled] : outside_) reading.usage = reading.usage + sampled;
  reading.total_processes = counts->total_processes + outside_.size();
  return reading;
}

}  // namespace treemon::recorder
