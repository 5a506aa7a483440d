// The Qt front end's own entry points beside the fe_* services.
#pragma once
#include <cstdint>

class QTextBrowser;

namespace gui {

// Application-wide settings made before the first window: Fusion style, the
// program's icon. Call after the QApplication exists.
void InitApplication();
// Brings every live dialog's widgets up to their models.
void SyncAllDialogs();
// A refresh as the pump does it every ~30 ms: synchronise, then let Qt run.
void RefreshNow();
// How many refreshes the pump has made, and the time spent in them in all
// (for the benchmarks and tests).
std::uint64_t RefreshCount();
std::uint64_t RefreshNanos();
// The help window, when it has been opened.
QTextBrowser* HelpBrowser();
// Drops the windows that outlive the dialogs (help) before QApplication goes.
void ShutDown();

}  // namespace gui
