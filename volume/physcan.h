// "Scan Physical Drive": the whole-drive partition search.
#pragma once
#include "app/context.h"

struct PHYDRIVE_INFO;
struct PROGRESS_INFO;

void ScanPhysicalDrive(AppContext& ctx);
int PrepareSearch(AppContext& ctx, PHYDRIVE_INFO& drive, PROGRESS_INFO& progress);
