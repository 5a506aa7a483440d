// The $FILE_NAME attribute: parent reference, times and one name in one namespace.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "ntfs/attribute.h"

// Namespaces of a name.
inline constexpr std::uint8_t kNamePosix = 0;
inline constexpr std::uint8_t kNameWin32 = 1;
inline constexpr std::uint8_t kNameDos = 2;
inline constexpr std::uint8_t kNameWin32AndDos = 3;

// The value's fixed fields before the name itself.
inline constexpr std::size_t kFileNameFixed = 66;
// A value starting further into its attribute than this cannot sit with its
// header in a 1024-byte record; such an offset is damage.
inline constexpr std::size_t kMaxFileNameValueOffset = 1000;

struct FileName {
  std::uint64_t parent = 0;  // 48-bit record number, the sequence number dropped
  std::uint64_t write_time = 0;
  std::uint8_t name_space = 0;
  std::string name;  // low byte of each UTF-16 unit
};

// The resident $FILE_NAME value of a, checked against its attribute and its own name length.
std::optional<FileName> ReadFileName(const Attribute& a);
// A Win32 or Win32-and-DOS name: the long name a user sees.
inline bool IsLongName(const FileName& fn) { return fn.name_space == kNameWin32 || fn.name_space == kNameWin32AndDos; }
