// The Build Partition Record (130) and Build Boot Record (131) dialogs.
#pragma once

struct AppContext;

// Menu commands: open the dialog for the drive selected in the main window.
void BuildPartitionRecordCmd(AppContext& ctx);
void BuildBootRecordCmd(AppContext& ctx);
