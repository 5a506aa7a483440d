// The main window: start-up, command routing, exit and the About box.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "app/context.h"

// Image files the next initialisation of the main window adds after the drives.
void SetStartupImages(const std::vector<std::string>& image_paths);

std::intptr_t MainDlgProc(Dialog* dlg, const Msg& msg);
int InitMainDlg(AppContext& ctx);
int ExitApp(AppContext& ctx, std::intptr_t exit_code);
int ShowAboutBox(AppContext& ctx);
std::intptr_t AboutDlgProc(Dialog* dlg, const Msg& msg);
