// The drive information tree and what a click on a drive row does.
#pragma once
#include "app/context.h"

void CreateInfoRoots(AppContext& ctx);
void ShowPhysicalDriveInfo(AppContext& ctx);
void ShowLogicalDriveInfo(AppContext& ctx);
void SelectPhysicalDrive(AppContext& ctx, int row);
void SelectLogicalDrive(AppContext& ctx, int row);
