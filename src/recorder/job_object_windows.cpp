#include "recorder/job_object_windows.h"

#include <string>

namespace treemon::recorder {
namespace {

uint64_t counted(const LARGE_INTEGER& value) {
  return value.QuadPart > 0 ? static_cast<uint64_t>(value.QuadPart) : 0;
}

}  // namespace

Result<JobObject> JobObject::create() {
  UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
  if (!job) return Status::error("cannot create a job object: " + last_win32_error_text());
  // The breakaway flag is an extended limit: the basic class refuses it.
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
  if (!::SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits)) {
    return Status::error("cannot allow breakaway from the job: " + last_win32_error_text());
  }
  return JobObject(std::move(job));
}

Status JobObject::assign(HANDLE process) const {
  if (::AssignProcessToJobObject(job_.get(), process)) return {};
  return Status::error("cannot put the command in a job: " + last_win32_error_text());
}

std::optional<JobCounts> JobObject::query() const {
  JOBOBJECT_BASIC_AND_IO_ACCOUNTING_INFORMATION info{};
  if (!::QueryInformationJobObject(job_.get(), JobObjectBasicAndIoAccountingInformation, &info,
                                   sizeof info, nullptr)) {
    return std::nullopt;
  }
  JobCounts counts;
  counts.usage.cpu_100ns =
      counted(info.BasicInfo.TotalUserTime) + counted(info.BasicInfo.TotalKernelTime);
  counts.usage.read_bytes = info.IoInfo.ReadTransferCount;
  counts.usage.written_bytes = info.IoInfo.WriteTransferCount;
  counts.total_processes = info.BasicInfo.TotalProcesses;
  return counts;
}

std::optional<bool> JobObject::holds(HANDLE process) const {
  BOOL inside = FALSE;
  if (!::IsProcessInJob(process, job_.get(), &inside)) return std::nullopt;
  return inside != FALSE;
}

}  // namespace treemon::recorder
