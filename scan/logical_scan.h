// The two logical-scan commands, dispatched on the selected volume's type.
#pragma once
#include "app/context.h"

void FastLogicalScan(AppContext& ctx);
void SlowLogicalScan(AppContext& ctx);
