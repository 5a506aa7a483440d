// Front-end services: what only a front end can do. Declared here, defined
// twice: by gui/ with Qt and by platform/headless for tests and the CLI. The
// choice is made at link time.
#pragma once
#include <optional>
#include <string>

struct Dialog;

// Message-box flags and answers, with the Windows values.
inline constexpr unsigned MB_OK = 0x0;
inline constexpr unsigned MB_YESNO = 0x4;
inline constexpr unsigned MB_ICONSTOP = 0x10;
inline constexpr unsigned MB_ICONQUESTION = 0x20;
inline constexpr unsigned MB_ICONWARNING = 0x30;
inline constexpr unsigned MB_ICONINFORMATION = 0x40;
inline constexpr unsigned MB_DEFBUTTON2 = 0x100;  // No is the default of a Yes/No box
inline constexpr unsigned MB_TYPEMASK = 0xF;
inline constexpr unsigned MB_ICONMASK = 0xF0;
// The second button (No) is the default: Enter or an unanswered box says No.
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;

// A pump step: lets the front end process its own events, which may post
// messages to the queue. Must be cheap when called very often.
void fe_Pump();
// Called by a dialog loop when the queue is empty: waits until the front end
// has posted something. Returns false when nothing can ever arrive.
bool fe_WaitForMessages();
// Shows a message box owned by owner (or the active dialog) and returns the answer.
int fe_MessageBox(Dialog* owner, const std::string& text, const std::string& title, unsigned flags);
// File-open dialog for an existing file; nullopt when cancelled.
std::optional<std::string> fe_ChooseOpenFile(Dialog* owner, const std::string& start_dir);
// Folder browser; nullopt when cancelled.
std::optional<std::string> fe_ChooseFolder(Dialog* owner, const std::string& title);
// A dialog's models were built / it is about to go (build or drop its widgets).
void fe_DialogCreated(Dialog* dlg);
void fe_DialogDestroyed(Dialog* dlg);
// Open the help page at a named section.
void fe_ShowHelp(Dialog* owner, const std::string& page, const std::string& section);
// Whether the front end keeps references to tree items between pump steps;
// when it does, deleted items are kept until it releases them.
bool fe_HoldsTreeItems();
// Whether the front end can supply the image-list pictures.
bool fe_HaveImages();
