// Check boxes, radio buttons and combo boxes of a dialog built from its
// template: the widgets follow the control models, and an operator's change
// reaches the model before the command that tells the dialog about it.
#include <QCheckBox>
#include <QComboBox>
#include <QRadioButton>

#include "gui_fixture.h"

namespace {

std::vector<Msg> TakeQueue() {
  std::vector<Msg> out;
  while (const Msg* m = PeekQueue()) {
    out.push_back(*m);
    DropQueueFront();
  }
  return out;
}

}  // namespace

class ControlsTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    using K = ControlKind;
    tmpl_ = DialogTemplate{900, "Options", "Arial", 8, 0, 0, 200, 120, dlgstyle::Caption, 0, {}};
    tmpl_.controls = {
        {301, K::CheckBox, "Verify", 10, 10, 80, 10, 0},
        {311, K::RadioButton, "Fast", 10, 25, 80, 10, 0},
        {312, K::RadioButton, "Slow", 10, 35, 80, 10, 0},
        {313, K::RadioButton, "Thorough", 10, 45, 80, 10, 0},
        {-1, K::Static, "Pattern:", 10, 60, 40, 8, 0},
        {321, K::RadioButton, "Zeros", 100, 25, 80, 10, 0},
        {322, K::RadioButton, "Random", 100, 35, 80, 10, 0},
        {331, K::ComboBox, "", 10, 75, 100, 80, 0},
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
  gui::DialogWindow* Open() {
    window_ = std::make_unique<gui::DialogWindow>(dlg_.get(), nullptr);
    window_->show();
    return window_.get();
  }
  Control* Model(int id) { return GetDlgItem(dlg_.get(), id); }
  template <class W>
  W* At(int id) {
    return qobject_cast<W*>(window_->widgetFor(id));
  }
  static void Change(Control* c) { ++c->version; }

  DialogTemplate tmpl_;
  std::unique_ptr<Dialog> dlg_;
  std::unique_ptr<gui::DialogWindow> window_;
};

TEST_F(ControlsTest, ButtonsFollowTheirModelsAndClicksUpdateTheModelBeforeTheCommand) {
  Model(301)->check = 1;
  Model(312)->check = 1;
  Open();
  EXPECT_TRUE(At<QCheckBox>(301)->isChecked());
  EXPECT_TRUE(At<QRadioButton>(312)->isChecked());
  EXPECT_FALSE(At<QRadioButton>(311)->isChecked());

  // The operator unticks the check box and picks "Thorough".
  QTest::mouseClick(At<QCheckBox>(301), Qt::LeftButton);
  QTest::mouseClick(At<QRadioButton>(313), Qt::LeftButton);
  EXPECT_EQ(Model(301)->check, 0);
  EXPECT_EQ(Model(311)->check, 0);
  EXPECT_EQ(Model(312)->check, 0);
  EXPECT_EQ(Model(313)->check, 1);
  EXPECT_FALSE(At<QRadioButton>(312)->isChecked());
  // The other group is its own.
  QTest::mouseClick(At<QRadioButton>(322), Qt::LeftButton);
  EXPECT_EQ(Model(322)->check, 1);
  EXPECT_EQ(Model(313)->check, 1);
  EXPECT_TRUE(At<QRadioButton>(313)->isChecked());
  // A click on the radio button already on leaves it on.
  QTest::mouseClick(At<QRadioButton>(322), Qt::LeftButton);
  EXPECT_EQ(Model(322)->check, 1);
  EXPECT_TRUE(At<QRadioButton>(322)->isChecked());

  std::vector<std::uint32_t> ids;
  for (const Msg& m : TakeQueue()) {
    EXPECT_EQ(m.kind, MsgKind::Command);
    EXPECT_EQ(m.dlg, dlg_.get());
    ids.push_back(m.id);
  }
  // BN_CLICKED is 0: the command id alone.
  EXPECT_EQ(ids, (std::vector<std::uint32_t>{301, 313, 322, 322}));

  // The engine sets them back (also every radio button of a group off).
  Model(301)->check = 1;
  Change(Model(301));
  Model(313)->check = 0;
  Change(Model(313));
  window_->sync();
  EXPECT_TRUE(At<QCheckBox>(301)->isChecked());
  for (int id : {311, 312, 313}) EXPECT_FALSE(At<QRadioButton>(id)->isChecked()) << id;
  EXPECT_TRUE(QueueEmpty());  // the engine's own changes notify nobody
}

TEST_F(ControlsTest, ComboShowsItsItemsAndAChoicePostsSelectionChange) {
  Control* c = Model(331);
  c->items = {"One pass", "Three passes", "Seven passes"};
  c->selected = 1;
  Open();
  auto* box = At<QComboBox>(331);
  ASSERT_EQ(box->count(), 3);
  EXPECT_EQ(box->itemText(2), QStringLiteral("Seven passes"));
  EXPECT_EQ(box->currentIndex(), 1);
  EXPECT_LT(box->height(), window_->units().toPixels(0, 0, 0, 80).height());  // closed, not the list's height

  // The operator chooses with the keyboard: the model first, then CBN_SELCHANGE.
  box->setFocus();
  QTest::keyClick(box, Qt::Key_Down);
  EXPECT_EQ(c->selected, 2);
  std::vector<Msg> posted = TakeQueue();
  ASSERT_EQ(posted.size(), 1u);
  EXPECT_EQ(posted[0].id, 331u | (CBN_SELCHANGE << 16));
  EXPECT_EQ(posted[0].id & 0xFFFF, 331u);

  // The engine replaces the items and chooses none.
  c->items = {"Zeros", "Ones"};
  c->selected = -1;
  Change(c);
  window_->sync();
  ASSERT_EQ(box->count(), 2);
  EXPECT_EQ(box->itemText(0), QStringLiteral("Zeros"));
  EXPECT_EQ(box->currentIndex(), -1);
  c->selected = 7;  // out of range: nothing chosen rather than a stale row
  Change(c);
  window_->sync();
  EXPECT_EQ(box->currentIndex(), -1);
  EXPECT_TRUE(QueueEmpty());
}
