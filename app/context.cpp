#include "app/context.h"

namespace {
AppContext g_app;
}

AppContext& App() { return g_app; }

void ResetAppContext() { g_app = AppContext{}; }
