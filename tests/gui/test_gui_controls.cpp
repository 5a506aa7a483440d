// Check boxes, radio buttons and combo boxes of a dialog built from its
// template: the widgets follow the control models, and an operator's change
// reaches the model before the command that tells the dialog about it.
#include <QCheckBox>
#include <QComboBox>
#include <QRadioButton>

#include "res/resources.h"
#include "gui_fixture.h"

class ControlsTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    using K = ControlKind;
    tmpl_ = DialogTemplate{900, "Options", "Arial", 8, 0, 0, 200, 120, dlgstyle::Caption, 0, {}};
    tmpl_.controls = {
        {301, K::CheckBox, "Verify", 10, 10, 80, 10, 0},   {311, K::RadioButton, "Fast", 10, 25, 80, 10, 0},
        {312, K::RadioButton, "Slow", 10, 35, 80, 10, 0},  {313, K::RadioButton, "Thorough", 10, 45, 80, 10, 0},
        {-1, K::Static, "Pattern:", 10, 60, 40, 8, 0},     {321, K::RadioButton, "Zeros", 100, 25, 80, 10, 0},
        {322, K::RadioButton, "Random", 100, 35, 80, 10, 0}, {331, K::ComboBox, "", 10, 75, 100, 80, 0},
    };
    // A live dialog (the queue takes messages only for those) given this template.
    dlg_ = CreateDialogModel(IDD_ABOUT, nullptr, nullptr);
    ASSERT_NE(dlg_, nullptr);
    dlg_->template_id = tmpl_.id;
    dlg_->tmpl = &tmpl_;
    dlg_->menu.reset();
    dlg_->controls.clear();
    for (const ControlTemplate& ct : tmpl_.controls) {
      auto c = std::make_unique<Control>();
      c->id = ct.id;
      c->kind = ct.kind;
      c->text = ct.text;
      c->owner = dlg_.get();
      dlg_->controls.push_back(std::move(c));
    }
  }
  void TearDown() override {
    window_.reset();
    dlg_.reset();
    GuiTest::TearDown();
  }
  Control* Model(int id) { return GetDlgItem(dlg_.get(), id); }
  template <class W>
  W* At(int id) {
    return qobject_cast<W*>(window_->widgetFor(id));
  }
  // The engine's own change, shown at the next sync; it notifies nobody.
  void EngineSets(int id, auto change) {
    change(*Model(id));
    ++Model(id)->version;
    window_->sync();
  }

  DialogTemplate tmpl_;
  std::unique_ptr<Dialog> dlg_;
  std::unique_ptr<gui::DialogWindow> window_;
};

TEST_F(ControlsTest, WidgetsFollowTheirModelsAndOperatorChangesUpdateTheModelBeforeTheCommand) {
  Model(301)->check = 1;
  Model(312)->check = 1;
  Control* combo = Model(331);
  combo->items = {"One pass", "Three passes", "Seven passes"};
  combo->selected = 1;
  window_ = std::make_unique<gui::DialogWindow>(dlg_.get(), nullptr);
  window_->show();
  EXPECT_TRUE(At<QCheckBox>(301)->isChecked());
  EXPECT_TRUE(At<QRadioButton>(312)->isChecked());
  EXPECT_FALSE(At<QRadioButton>(311)->isChecked());
  auto* box = At<QComboBox>(331);
  ASSERT_EQ(box->count(), 3);
  EXPECT_EQ(box->itemText(2), QStringLiteral("Seven passes"));
  EXPECT_EQ(box->currentIndex(), 1);
  EXPECT_LT(box->height(), window_->units().toPixels(0, 0, 0, 80).height());  // closed, not the list's height

  // The operator unticks the check box, picks "Thorough", then "Random" in
  // the other group, then "Random" again (it stays on).
  for (int id : {301, 313, 322, 322}) QTest::mouseClick(At<QAbstractButton>(id), Qt::LeftButton);
  const int expected_checks[][2] = {{301, 0}, {311, 0}, {312, 0}, {313, 1}, {321, 0}, {322, 1}};
  for (auto [id, check] : expected_checks) {
    EXPECT_EQ(Model(id)->check, check) << id;
    EXPECT_EQ(At<QAbstractButton>(id)->isChecked(), check == 1) << id;
  }
  // ... and chooses the next pass count with the keyboard.
  box->setFocus();
  QTest::keyClick(box, Qt::Key_Down);
  EXPECT_EQ(combo->selected, 2);

  std::vector<std::uint32_t> ids;
  for (const Msg& m : TakeQueue()) {
    EXPECT_EQ(m.kind, MsgKind::Command);
    EXPECT_EQ(m.dlg, dlg_.get());
    ids.push_back(m.id);
  }
  // BN_CLICKED is 0: the command id alone.
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{301, 313, 322, 322, 331u | (CBN_SELCHANGE << 16)}));

  // The engine sets them back (also every radio button of a group off) and
  // replaces the combo's items, choosing none, then an index out of range.
  EngineSets(301, [](Control& c) { c.check = 1; });
  EngineSets(313, [](Control& c) { c.check = 0; });
  EXPECT_TRUE(At<QCheckBox>(301)->isChecked());
  for (int id : {311, 312, 313}) EXPECT_FALSE(At<QRadioButton>(id)->isChecked()) << id;
  EngineSets(331, [](Control& c) { c.items = {"Zeros", "Ones"}, c.selected = -1; });
  ASSERT_EQ(box->count(), 2);
  EXPECT_EQ(box->itemText(0), QStringLiteral("Zeros"));
  EXPECT_EQ(box->currentIndex(), -1);
  EngineSets(331, [](Control& c) { c.selected = 7; });
  EXPECT_EQ(box->currentIndex(), -1);  // nothing chosen rather than a stale row
  EXPECT_TRUE(QueueEmpty());
}
