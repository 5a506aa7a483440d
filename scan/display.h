// The directory tree and file list of a scan on screen, and marking.
#pragma once
#include <string>

#include "app/context.h"
#include "scan/records.h"

void ShowSelectedDirFiles(AppContext& ctx);
void ShowDirItemFiles(AppContext& ctx, TreeItem* item);
// Adds one row; returns the row index or -1.
int AddFileToDisplayList(AppContext& ctx, FILE_INODE* f);
// Rewrites "M-Bytes" and "M-Files"; returns 1 when the byte total is non-zero.
int RecountMarkedFiles(AppContext& ctx);
void FileListClick(AppContext& ctx, const Hit& hit);
void DirTreeClick(AppContext& ctx, const Hit& hit);

// "%02d-%02d-%04d %02d:%02d" (month, day, year, hour, minute) of a file's date.
std::string FileDateText(const FILE_INODE& f);
// The same text appended to out (no string of its own: listings write a row per file).
void AppendFileDateText(std::string& out, const FILE_INODE& f);
// Calendar fields of a FILETIME, without a zone shift.
struct CalendarTime {
  int year, month, day, hour, minute, second;
};
CalendarTime FileTimeToCalendar(std::uint64_t filetime);
