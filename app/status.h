// Status fields, thousands separators, time and progress, list helpers.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/context.h"

struct PROGRESS_INFO {
  std::uint64_t start_time = 0;
  std::uint64_t current = 0;
  std::uint64_t total = 0;
  std::uint64_t phase = 0;  // 1 reset, 2 running
};

inline constexpr std::uint64_t kProgressReset = 1;
inline constexpr std::uint64_t kProgressRunning = 2;

std::uint64_t GetNowFileTime();
// Writes value with "," between groups of three digits; the buffer is
// cleared first and must hold the result (at most 26 characters and a NUL).
void FormatThousands(char* buffer, std::size_t size, std::uint64_t value);
std::string FormatThousands(std::uint64_t value);
void UpdateProgressTimes(AppContext& ctx, const PROGRESS_INFO& p);
void ResetProgressTimes(AppContext& ctx);
// "%02d:%02d:%02d" of the time of day of a file-time duration (hours wrap at 24).
std::string FormatRemaining(std::uint64_t duration_100ns);

void InsertListColumns(ListView* list, const ColumnEntry* table);
void* GetRowData(const ListView* list, int row);
void* GetSelectedRowData(const ListView* list);
int GetSelectedRow(const ListView* list);
void ClearLogicalDriveList(AppContext& ctx);

// Writes a status field of the main window.
void SetStatusField(AppContext& ctx, int control_id, const std::string& text);
void SetStatusCount(AppContext& ctx, int control_id, std::uint64_t value);
