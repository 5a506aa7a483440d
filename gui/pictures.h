// Pictures drawn by the program itself: the image-list bitmaps, the About
// picture and the window icon.
#pragma once
#include <QIcon>
#include <QImage>
#include <QPixmap>

namespace gui {

// The picture of a bitmap resource (IDB_*); a null pixmap for unknown ids.
// Pictures are drawn once and cached.
const QPixmap& BitmapPicture(int bitmap_id);
QIcon AppIcon();
// The window icon's picture at size x size on a transparent ground; drawn on
// an image, so it needs no display (the installed PNG icons are made with it).
QImage IconImage(int size);

}  // namespace gui
