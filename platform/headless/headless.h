// The headless front end: answers dialogs from a script and records what was
// shown. Tests and retrova-cli link it in place of the Qt front end.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/window.h"

namespace headless {

struct BoxRecord {
  std::string text;
  std::string title;
  unsigned icon = 0;     // MB_ICON* bits
  unsigned buttons = 0;  // MB_OK, MB_YESNO, ...
  int answer = 0;
};

struct HelpRecord {
  std::string page, section;
};

// A message to post once the pump has run a number of steps. The addressee
// is the newest live dialog made from template_id (0: the active dialog),
// resolved when the message is posted.
struct ScriptedMsg {
  std::uint64_t at_step = 0;
  int template_id = 0;
  Msg msg;
};

// Forgets the script and the records.
void Reset();

// Answers, used in order; when none is left a box gets its first button
// (OK or Yes) and a chooser is cancelled.
void AnswerMessageBox(int answer);
void AnswerOpenFile(std::optional<std::string> path);
void AnswerFolder(std::optional<std::string> path);

// Posts msg to the dialog of template_id after `steps` more pump steps (0: at the next one).
void PostAfterSteps(std::uint64_t steps, int template_id, const Msg& msg);
void PostCommandAfterSteps(std::uint64_t steps, int template_id, std::uint32_t command);

const std::vector<BoxRecord>& Boxes();
const std::vector<HelpRecord>& HelpShown();
std::uint64_t PumpSteps();
// Called every 2^shift pump steps (for progress output); null: never.
void SetPumpHook(void (*hook)(), unsigned shift = 12);
// Where message-box texts go as they are shown (the CLI prints errors); null: nowhere.
void SetBoxEcho(void (*echo)(const BoxRecord&));

}  // namespace headless
