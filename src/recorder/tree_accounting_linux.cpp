#include "recorder/tree_accounting_linux.h"

namespace treemon::recorder {

std::optional<KernelReading> LinuxTreeAccounting::read(std::span<const TreeMember> members) {
  links_.clear();
  for (const TreeMember& member : members) links_.push_back(member.link);
  KernelReading reading = reader_.read(parents_first(links_));
  if (reaper_ != nullptr) reading.usage = reading.usage + reaper_->reaped();
  return reading;
}

}  // namespace treemon::recorder
