// Pictures drawn by the program itself: the image-list bitmaps, the About
// picture and the window icon.
#pragma once
#include <QIcon>
#include <QPixmap>

namespace gui {

// The picture of a bitmap resource (IDB_*); a null pixmap for unknown ids.
// Pictures are drawn once and cached.
const QPixmap& BitmapPicture(int bitmap_id);
QIcon AppIcon();

}  // namespace gui
