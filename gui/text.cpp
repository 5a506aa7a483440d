#include "gui/text.h"

#include <QStringDecoder>

namespace gui {

QString FromEngineText(const std::string& s) {
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  QString out = utf8.decode(QByteArrayView(s.data(), qsizetype(s.size())));
  if (!utf8.hasError()) return out;
  return FromLatin1(s);
}

}  // namespace gui
