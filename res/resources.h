// Dialog, menu and column templates. Front ends build their windows from
// these; the engine reads the same ids. Positions are in dialog units.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/templates.h"
#include "platform/window.h"

const DialogTemplate* FindDialogTemplate(int id);
const MenuTemplate* FindMenuTemplate(int id);
const std::vector<DialogTemplate>& AllDialogTemplates();

// The file finder's dialog and menu (res/finder_dialog.cpp).
DialogTemplate FinderDialog();
MenuTemplate FinderMenu();

// Dialog models and modal runs by template id: the platform takes the
// templates themselves, this looks them up.
std::unique_ptr<Dialog> CreateDialogModel(int template_id, DlgProc proc, Dialog* owner);
std::intptr_t RunDialog(int template_id, DlgProc proc, Dialog* owner);

extern const ColumnEntry kFileListColumns[];
extern const ColumnEntry kPhyListColumns[];
extern const ColumnEntry kLogListColumns[];

// Bitmaps of the shared image list, in image-list order.
extern const int kImageListBitmaps[9];

// The version the build was configured with (project(VERSION) in CMake), and
// the product title shown in window titles and message boxes ("Retrova ver
// VERSION"). Defined in one source so that a new version rebuilds only it.
extern const char* const kProductVersion;
extern const char* const kProductTitle;

// The help page shipped in res/help and the section "Content" opens.
inline constexpr const char* kHelpPage = "help/retrova.html";
inline constexpr const char* kHelpFinderSection = "file-finder";
