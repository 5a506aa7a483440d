// Templates of the "Clone" (132) and "Wipe it!" (133) dialogs and their drive-list columns.
#pragma once
#include "platform/templates.h"

DialogTemplate CloneDialogTemplate();
DialogTemplate WipeDialogTemplate();

extern const ColumnEntry kCloneListColumns[];
extern const ColumnEntry kWipeListColumns[];
