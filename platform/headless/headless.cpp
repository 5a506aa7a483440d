// Headless definitions of the front-end services.
#include "platform/headless/headless.h"

#include <deque>

#include "platform/frontend.h"

namespace headless {
namespace {

struct State {
  std::deque<int> box_answers;
  std::deque<std::optional<std::string>> open_answers;
  std::deque<std::optional<std::string>> folder_answers;
  std::vector<ScriptedMsg> script;  // kept sorted by at_step
  std::vector<BoxRecord> boxes;
  std::vector<HelpRecord> help;
  std::uint64_t steps = 0;
  void (*echo)(const BoxRecord&) = nullptr;
  void (*pump_hook)() = nullptr;
  std::uint64_t pump_mask = 0xFFF;
};

State& S() {
  static State s;
  return s;
}

Dialog* Resolve(int template_id) { return template_id ? FindLiveDialog(template_id) : ActiveDialog(); }

// Posts every scripted message that is due.
void PostDue() {
  State& s = S();
  while (!s.script.empty() && s.script.front().at_step <= s.steps) {
    ScriptedMsg sm = s.script.front();
    s.script.erase(s.script.begin());
    sm.msg.dlg = Resolve(sm.template_id);
    PostMsg(sm.msg);
  }
}

}  // namespace

void Reset() {
  State& s = S();
  void (*echo)(const BoxRecord&) = s.echo;
  void (*hook)() = s.pump_hook;
  const std::uint64_t mask = s.pump_mask;
  s = State{};
  s.echo = echo;
  s.pump_hook = hook;
  s.pump_mask = mask;
}

void SetPumpHook(void (*hook)(), unsigned shift) {
  S().pump_hook = hook;
  S().pump_mask = (1ULL << (shift < 63 ? shift : 63)) - 1;
}

void AnswerMessageBox(int answer) { S().box_answers.push_back(answer); }
void AnswerOpenFile(std::optional<std::string> path) { S().open_answers.push_back(std::move(path)); }
void AnswerFolder(std::optional<std::string> path) { S().folder_answers.push_back(std::move(path)); }

void PostAfterSteps(std::uint64_t steps, int template_id, const Msg& msg) {
  State& s = S();
  ScriptedMsg sm{s.steps + steps, template_id, msg};
  auto it = s.script.begin();
  while (it != s.script.end() && it->at_step <= sm.at_step) ++it;
  s.script.insert(it, sm);
}

void PostCommandAfterSteps(std::uint64_t steps, int template_id, std::uint32_t command) {
  Msg m;
  m.kind = MsgKind::Command;
  m.id = command;
  PostAfterSteps(steps, template_id, m);
}

const std::vector<BoxRecord>& Boxes() { return S().boxes; }
const std::vector<HelpRecord>& HelpShown() { return S().help; }
std::uint64_t PumpSteps() { return S().steps; }
void SetBoxEcho(void (*echo)(const BoxRecord&)) { S().echo = echo; }

}  // namespace headless

using namespace headless;

void fe_Pump() {
  State& s = S();
  ++s.steps;
  if (!s.script.empty()) PostDue();
  if (s.pump_hook && (s.steps & s.pump_mask) == 0) s.pump_hook();
}

bool fe_WaitForMessages() {
  // Nothing happens by itself headless: jump the clock to the next scripted message.
  State& s = S();
  while (!s.script.empty()) {
    if (s.script.front().at_step > s.steps) s.steps = s.script.front().at_step;
    PostDue();
    if (!QueueEmpty()) return true;
  }
  return false;
}

int fe_MessageBox(Dialog*, const std::string& text, const std::string& title, unsigned flags) {
  State& s = S();
  BoxRecord r{text, title, flags & MB_ICONMASK, flags & MB_TYPEMASK, 0};
  if (!s.box_answers.empty()) {
    r.answer = s.box_answers.front();
    s.box_answers.pop_front();
  } else {
    r.answer = (flags & MB_TYPEMASK) != MB_YESNO ? 1 /* IDOK */ : (flags & MB_DEFBUTTON2) != 0 ? IDNO : IDYES;
  }
  s.boxes.push_back(r);
  if (s.echo) s.echo(r);
  return r.answer;
}

std::optional<std::string> fe_ChooseOpenFile(Dialog*, const std::string&) {
  State& s = S();
  if (s.open_answers.empty()) return std::nullopt;
  auto a = s.open_answers.front();
  s.open_answers.pop_front();
  return a;
}

std::optional<std::string> fe_ChooseFolder(Dialog*, const std::string&) {
  State& s = S();
  if (s.folder_answers.empty()) return std::nullopt;
  auto a = s.folder_answers.front();
  s.folder_answers.pop_front();
  return a;
}

void fe_DialogCreated(Dialog*) {}

void fe_DialogDestroyed(Dialog* dlg) {
  // Headless there is no view holding tree items: free deleted ones now.
  for (auto& c : dlg->controls)
    if (c->kind == ControlKind::TreeView) {
      auto* tv = static_cast<TreeView*>(c.get());
      TreeView_TakeDirtyParents(tv);
      TreeView_ReleaseDeleted(tv);
    }
}

void fe_ShowHelp(Dialog*, const std::string& page, const std::string& section) { S().help.push_back({page, section}); }

bool fe_HaveImages() { return true; }

bool fe_HoldsTreeItems() { return false; }
