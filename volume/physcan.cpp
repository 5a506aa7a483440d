#include "volume/physcan.h"

#include "app/main_window.h"
#include "res/ids.h"

// Transitional until the partition search lands.
void ScanPhysicalDrive(AppContext& ctx) { NotYetBuiltCommand(ctx, IDM_SCAN_PHYSICAL); }
