// NTFS system files: coloured apart in the file list, skipped by the copy,
// tested by the finder.
#pragma once
#include <string_view>

inline constexpr std::string_view kSystemFileNames[15] = {
    "$MFT",    "$MFTMirr", "$LogFile", "$Volume", "$AttrDef", "$Bitmap",      "$Boot",       "$BadClus",
    "$Secure", "$UpCase",  "$Quota",   "$ObjId",  "$Reparse", "hiberfil.sys", "pagefile.sys"};

// Whole-name, case-sensitive comparison.
inline bool IsSystemFileName(std::string_view name) {
  for (std::string_view s : kSystemFileNames)
    if (s == name) return true;
  return false;
}
