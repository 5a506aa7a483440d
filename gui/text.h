// Conversions between the engine's byte strings and Qt strings.
#pragma once
#include <QString>
#include <string>

namespace gui {

// Names decoded from disk are single-byte strings; they are shown as Latin-1.
inline QString FromLatin1(const std::string& s) { return QString::fromLatin1(s.data(), qsizetype(s.size())); }

// Messages and titles may carry OS paths (UTF-8) as well as decoded names
// (Latin-1): valid UTF-8 is read as such, anything else as Latin-1.
QString FromEngineText(const std::string& s);

// Paths go to the engine as UTF-8, the OS's encoding.
inline std::string ToPath(const QString& s) { return s.toStdString(); }

}  // namespace gui
