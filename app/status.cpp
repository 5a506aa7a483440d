#include "app/status.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/sysio.h"
#include "res/ids.h"

std::uint64_t GetNowFileTime() { return sys_LocalFileTime(); }

void FormatThousands(char* buffer, std::size_t size, std::uint64_t value) {
  if (!buffer || size == 0) return;
  std::memset(buffer, 0, size);
  char digits[32];
  const int len = std::snprintf(digits, sizeof digits, "%" PRIu64, value);
  if (len <= 0) return;
  char out[40];
  std::size_t o = 0;
  if (len <= 3) {
    std::memcpy(out, digits, static_cast<std::size_t>(len));
    o = static_cast<std::size_t>(len);
  } else {
    const int first = len % 3 == 0 ? 3 : len % 3;
    std::memcpy(out, digits, static_cast<std::size_t>(first));
    o = static_cast<std::size_t>(first);
    for (int i = first; i < len; i += 3) {
      out[o++] = ',';
      std::memcpy(out + o, digits + i, 3);
      o += 3;
    }
  }
  // Never write past the caller's buffer; a too-small buffer gets a cut text.
  const std::size_t n = o < size - 1 ? o : size - 1;
  std::memcpy(buffer, out, n);
}

std::string FormatThousands(std::uint64_t value) {
  char buf[32];
  FormatThousands(buf, sizeof buf, value);
  return buf;
}

std::string FormatRemaining(std::uint64_t duration_100ns) {
  const std::uint64_t seconds = duration_100ns / 10'000'000ULL;
  const unsigned h = static_cast<unsigned>((seconds / 3600) % 24);
  const unsigned m = static_cast<unsigned>((seconds / 60) % 60);
  const unsigned s = static_cast<unsigned>(seconds % 60);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", h, m, s);
  return buf;
}

void UpdateProgressTimes(AppContext& ctx, const PROGRESS_INFO& p) {
  if (p.phase == kProgressReset) {
    ResetProgressTimes(ctx);
    return;
  }
  const std::uint64_t now = GetNowFileTime();
  // Local time can step back (a clock change); an unsigned difference would
  // then be a huge duration, so such an update changes nothing.
  if (now <= p.start_time || p.current == 0) return;
  const std::uint64_t elapsed = now - p.start_time;
  const std::uint64_t per_unit = elapsed / p.current;
  const std::uint64_t left = p.total > p.current ? p.total - p.current : 0;
  const std::uint64_t remaining = left * per_unit;
  SetStatusField(ctx, IDC_LBA, FormatThousands(p.current));
  SetStatusField(ctx, IDC_T_REM, FormatRemaining(remaining));
}

void ResetProgressTimes(AppContext& ctx) {
  SetStatusField(ctx, IDC_T_REM, "00:00:00");
  SetStatusField(ctx, IDC_LBA, "0");
}

void InsertListColumns(ListView* list, const ColumnEntry* table) {
  if (!list || !table) return;
  for (int i = 0; i == 0 || table[i].width != 0; ++i)
    ListView_InsertColumn(list, i, ListColumn{table[i].width, table[i].text ? table[i].text : "", table[i].sub_item});
}

void* GetRowData(const ListView* list, int row) { return ListView_GetItemData(list, row); }

int GetSelectedRow(const ListView* list) {
  const int n = ListView_GetItemCount(list);
  for (int i = 0; i < n; ++i)
    if (ListView_GetItemState(list, i, LVIS_SELECTED)) return i;
  return -1;
}

void* GetSelectedRowData(const ListView* list) {
  const int row = GetSelectedRow(list);
  return row < 0 ? nullptr : GetRowData(list, row);
}

void ClearLogicalDriveList(AppContext& ctx) { ListView_DeleteAllItems(ctx.log_list); }

void SetStatusField(AppContext& ctx, int control_id, const std::string& text) {
  SetDlgItemText(ctx.main_dlg, control_id, text);
}

void SetStatusCount(AppContext& ctx, int control_id, std::uint64_t value) {
  SetStatusField(ctx, control_id, FormatThousands(value));
}
