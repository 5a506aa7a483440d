// The FAT32 scans: the logical-scan commands dispatch here for FAT32 volumes.
#pragma once
#include "app/context.h"

void FastFatScan(AppContext& ctx);
void SlowFatScan(AppContext& ctx);
