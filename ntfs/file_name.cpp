#include "ntfs/file_name.h"

#include "app/shell.h"
#include "platform/bytes.h"

std::optional<FileName> ReadFileName(const Attribute& a) {
  if (a.type != kAttrFileName) {
    DebugPrint("ReadFileName: attribute 0x%X is no $FILE_NAME", a.type);
    return std::nullopt;
  }
  const std::optional<ResidentValue> v = ReadResidentValue(a);
  if (!v) return std::nullopt;
  if (v->offset > kMaxFileNameValueOffset) {
    DebugPrint("ReadFileName: value offset %zu above %zu", v->offset, kMaxFileNameValueOffset);
    return std::nullopt;
  }
  if (v->bytes.size() < kFileNameFixed) {
    DebugPrint("ReadFileName: value of %zu bytes shorter than its fields", v->bytes.size());
    return std::nullopt;
  }
  const std::span<const std::uint8_t> b = v->bytes;
  const std::size_t chars = b[64];
  if (kFileNameFixed + 2 * chars > b.size()) {
    DebugPrint("ReadFileName: name of %zu characters past the value", chars);
    return std::nullopt;
  }
  FileName fn;
  fn.parent = le::U32(b, 0) | (static_cast<std::uint64_t>(le::U16(b, 4)) << 32);
  fn.write_time = le::U64(b, 16);
  fn.name_space = b[65];
  fn.name.resize(chars);
  for (std::size_t i = 0; i < chars; ++i) fn.name[i] = static_cast<char>(b[kFileNameFixed + 2 * i]);
  return fn;
}
