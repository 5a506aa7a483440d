#include "scan/logical_scan.h"

#include "app/main_window.h"
#include "res/ids.h"

// Transitional until the FAT32 scans land.
void FastLogicalScan(AppContext& ctx) { NotYetBuiltCommand(ctx, IDM_FAST_LOGICAL); }
void SlowLogicalScan(AppContext& ctx) { NotYetBuiltCommand(ctx, IDM_SLOW_LOGICAL); }
