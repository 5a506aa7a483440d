// Clone and Wipe as the operator runs them in the window: dialogs 132 and 133
// opened from the Utilities menu, drives picked in their lists with the pick
// buttons, sectors typed, the question answered (Enter says No), the image
// files checked byte for byte and the pie left at its final share.
#include <QApplication>
#include <QImage>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <functional>
#include <random>

#include "gui_fixture.h"
#include "gui_operator.h"
#include "app/status.h"
#include "disk/phydrive.h"

namespace fs = std::filesystem;

namespace {

using namespace gui_operator;

constexpr std::size_t S = 512;

std::vector<std::uint8_t> ReadBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
std::vector<std::uint8_t> Sectors(const std::vector<std::uint8_t>& img, std::uint64_t from, std::uint64_t count) {
  return {img.begin() + static_cast<std::ptrdiff_t>(from * S), img.begin() + static_cast<std::ptrdiff_t>((from + count) * S)};
}
// Everything of `now` outside sectors [from, from + count) equals `before`.
void ExpectOnlyRangeChanged(const std::vector<std::uint8_t>& before, const std::vector<std::uint8_t>& now,
                            std::uint64_t from, std::uint64_t count) {
  ASSERT_EQ(before.size(), now.size());
  EXPECT_TRUE(std::equal(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(from * S), now.begin()));
  EXPECT_TRUE(std::equal(before.begin() + static_cast<std::ptrdiff_t>((from + count) * S), before.end(),
                         now.begin() + static_cast<std::ptrdiff_t>((from + count) * S)));
}


QString Text(gui::DialogWindow* w, int id) { return QString::fromStdString(GetDlgItemText(w->dialog(), id)); }
// Clicks the row of the drive backed by `image` in the dialog's list, then the pick button.
bool Pick(gui::DialogWindow* w, int list_id, const fs::path& image, int pick_id) {
  if (!w) return false;
  auto* view = qobject_cast<gui::ListControlView*>(w->widgetFor(list_id));
  ListView* list = GetListView(w->dialog(), list_id);
  if (!view || !list) return false;
  for (int row = 0; row < ListView_GetItemCount(list); ++row) {
    const auto* d = static_cast<const PHYDRIVE_INFO*>(ListView_GetItemData(list, row));
    std::error_code ec;
    if (!d || !fs::equivalent(fs::path(d->device_path), image, ec)) continue;
    const QModelIndex idx = view->model()->index(row, 0);
    if (!view->viewport()->rect().contains(LabelAt(view, idx))) return false;  // not laid out yet
    ClickAt(view, LabelAt(view, idx));
    if (GetSelectedRow(list) != row) return false;
    Press(w, pick_id);
    return true;
  }
  return false;
}
// The pick is a command the dialog's loop runs later: the window once it has
// named the chosen drive (and so set its Total).
gui::DialogWindow* Chosen(int dialog, int label_id) {
  gui::DialogWindow* w = Open(dialog);
  return w && Text(w, label_id) != QStringLiteral("None") ? w : nullptr;
}
// Exit once the dialog is back with no box over it.
Operator::Step Exit(int dialog, int exit_id) {
  return [=] {
    gui::DialogWindow* w = Open(dialog);
    if (!w || Box()) return false;
    Press(w, exit_id);
    return true;
  };
}

}  // namespace

class GuiCloneWipeTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    OpenMain();
  }

  // A random image of `sectors` sectors added as a drive.
  fs::path AddImage(const std::string& name, std::uint64_t sectors, unsigned seed) {
    std::mt19937 gen(seed);
    std::string bytes(sectors * S, '\0');
    for (auto& b : bytes) b = static_cast<char>(gen());
    const fs::path p = temp_ / name;
    std::ofstream(p, std::ios::binary) << bytes;
    EXPECT_EQ(AddImageFile(App(), p.string()), 1);
    gui::SyncAllDialogs();
    return p;
  }

  void Run(int menu_id, Operator& op) {
    op.Start();
    Window()->actionFor(menu_id)->trigger();
    Drain();
    EXPECT_EQ(op.done(), op.total()) << "the operator got stuck at step " << op.done();
  }

  // The pie as the engine left it, and its painting: full means green all round.
  void ExpectFullPie(gui::DialogWindow* w, int pie_id) {
    const PieChart* pie = GetPieChart(w->dialog(), pie_id);
    ASSERT_NE(pie, nullptr);
    EXPECT_EQ(pie->label, "100.00 %");
    EXPECT_DOUBLE_EQ(pie->fraction, 1.0);
    gui::SyncAllDialogs();
    const QImage img = w->widgetFor(pie_id)->grab().toImage();
    const int cx = img.width() / 2, cy = img.height() / 2, r = std::min(cx, cy) / 2;
    for (QPoint p : {QPoint(cx, cy + r), QPoint(cx, cy - r), QPoint(cx - r * 2 / 3, cy - r * 2 / 3)})  // off the label
      EXPECT_EQ(QColor(img.pixel(p)), QColor(0, 100, 0)) << p.x() << "," << p.y();
  }
};

// Starts typed before the picks: Total is what fits after both. Enter at the
// question writes nothing; Yes copies exactly the range, the pie only ever
// grows while it runs and ends full.
TEST_F(GuiCloneWipeTest, CloneCopiesTheRangeAfterYesOnly) {
  const fs::path src = AddImage("src.img", 6000, 1), dst = AddImage("dst.img", 5000, 2);
  const auto src_before = ReadBytes(src), dst_before = ReadBytes(dst);
  QString fitted, question, done;
  bool no_is_default = false, pie_ok = false;
  std::vector<double> samples;
  QTimer sampler;  // the pie while the copy runs, whenever the loop lets it look
  QObject::connect(&sampler, &QTimer::timeout, [&] {
    if (App().clone_running == 0) return;
    if (const PieChart* p = App().clone_dlg ? GetPieChart(App().clone_dlg, IDC_CLONE_PIE) : nullptr)
      samples.push_back(p->fraction);
  });
  sampler.start(1);

  Operator op;
  op.Then([&] {
    gui::DialogWindow* w = Open(IDD_CLONE);
    if (!w) return false;
    Type(w, IDC_CLONE_SOURCE_START, QStringLiteral("100"));
    Type(w, IDC_CLONE_DEST_START, QStringLiteral("500"));
    return true;
  });
  op.Then([&] { return Pick(Open(IDD_CLONE), IDC_CLONE_LIST, src, IDC_CLONE_PICK_SOURCE); });
  op.Then([&] { return Chosen(IDD_CLONE, IDC_CLONE_SOURCE) && Pick(Open(IDD_CLONE), IDC_CLONE_LIST, dst, IDC_CLONE_PICK_DEST); });
  op.Then([&] {
    gui::DialogWindow* w = Chosen(IDD_CLONE, IDC_CLONE_DEST);
    if (!w) return false;
    fitted = Text(w, IDC_CLONE_TOTAL);
    Type(w, IDC_CLONE_TOTAL, QStringLiteral("3000"));
    Press(w, IDC_CLONE_GO);
    return true;
  });
  op.Then([&] {  // Enter at the question: No
    QMessageBox* b = Box();
    if (!b) return false;
    question = b->text();
    no_is_default = b->defaultButton() == b->button(QMessageBox::No);
    QTest::keyClick(b, Qt::Key_Return);
    return true;
  });
  op.Then([&] {
    gui::DialogWindow* w = Open(IDD_CLONE);
    if (!w || Box()) return false;
    EXPECT_EQ(ReadBytes(dst), dst_before) << "No wrote something";
    Press(w, IDC_CLONE_GO);
    return true;
  });
  op.Then(Answer(QMessageBox::Yes));
  op.Then(Answer(QMessageBox::Ok, &done));
  op.Then([&] {
    gui::DialogWindow* w = Open(IDD_CLONE);
    if (!w || Box()) return false;
    ExpectFullPie(w, IDC_CLONE_PIE);
    pie_ok = true;
    Press(w, IDC_CLONE_EXIT);
    return true;
  });
  Run(IDM_CLONE, op);
  sampler.stop();

  EXPECT_EQ(App().clone_dlg, nullptr);
  EXPECT_EQ(fitted, QStringLiteral("4500")) << "min(6000 - 100, 5000 - 500)";
  EXPECT_TRUE(no_is_default);
  for (const fs::path& p : {src, dst}) EXPECT_TRUE(question.contains(QString::fromStdString(p.string()))) << question.toStdString();
  EXPECT_TRUE(question.contains(QStringLiteral("sectors 100-3099"))) << question.toStdString();
  EXPECT_TRUE(question.contains(QStringLiteral("sectors 500-3499"))) << question.toStdString();
  EXPECT_TRUE(done.startsWith(QStringLiteral("Copied 3000 of 3000 sectors."))) << done.toStdString();
  EXPECT_TRUE(pie_ok);
  EXPECT_TRUE(std::is_sorted(samples.begin(), samples.end()));
  for (double f : samples) EXPECT_TRUE(f >= 0.0 && f <= 1.0) << f;

  const auto now = ReadBytes(dst);
  EXPECT_TRUE(Sectors(now, 500, 3000) == Sectors(src_before, 100, 3000));
  ExpectOnlyRangeChanged(dst_before, now, 500, 3000);
  EXPECT_EQ(ReadBytes(src), src_before);
}

// One user-defined pass over sectors 1000-2499: that range changes, nothing else.
TEST_F(GuiCloneWipeTest, WipeWritesOnlyTheRange) {
  const fs::path img = AddImage("wipe.img", 4000, 3);
  const auto before = ReadBytes(img);
  QString fitted, question, done;
  Operator op;
  op.Then([&] {
    gui::DialogWindow* w = Open(IDD_WIPE);
    if (!w) return false;
    Type(w, IDC_WIPE_START, QStringLiteral("1000"));
    return true;
  });
  op.Then([&] {
    return Pick(Open(IDD_WIPE), IDC_WIPE_LIST, img, IDC_WIPE_PICK);
  });
  op.Then([&] {
    gui::DialogWindow* w = Chosen(IDD_WIPE, IDC_WIPE_TARGET);
    if (!w) return false;
    fitted = Text(w, IDC_WIPE_TOTAL);
    Type(w, IDC_WIPE_TOTAL, QStringLiteral("1500"));
    Press(w, IDC_WIPE_USER);
    Type(w, IDC_WIPE_ITERATIONS, QStringLiteral("1"));
    Press(w, IDC_WIPE_GO);
    return true;
  });
  op.Then(Answer(QMessageBox::Yes, &question));
  op.Then(Answer(QMessageBox::Ok, &done));
  op.Then([&] {
    gui::DialogWindow* w = Open(IDD_WIPE);
    if (!w || Box()) return false;
    ExpectFullPie(w, IDC_WIPE_PIE);
    Press(w, IDC_WIPE_EXIT);
    return true;
  });
  Run(IDM_WIPE, op);

  EXPECT_EQ(App().wipe_dlg, nullptr);
  EXPECT_EQ(fitted, QStringLiteral("3000"));
  EXPECT_TRUE(question.contains(QStringLiteral("sectors 1000-2499"))) << question.toStdString();
  EXPECT_EQ(done, QStringLiteral("Wiped: 1500 of 1500 sectors in the last pass."));
  const auto now = ReadBytes(img);
  ExpectOnlyRangeChanged(before, now, 1000, 1500);
  const auto range = Sectors(now, 1000, 1500);
  EXPECT_NE(range, Sectors(before, 1000, 1500));
  EXPECT_NE(range, std::vector<std::uint8_t>(range.size(), 0));
}

// Refusals shown as stop boxes, no question asked, nothing written: a clone
// of a drive onto itself over overlapping ranges, a wipe past the drive's end.
TEST_F(GuiCloneWipeTest, RefusalsWriteNothing) {
  const fs::path img = AddImage("one.img", 3000, 4);
  const auto before = ReadBytes(img);
  QString clone_refusal, wipe_refusal;
  QMessageBox::Icon clone_icon{}, wipe_icon{};

  Operator clone;
  clone.Then([&] {
    gui::DialogWindow* w = Open(IDD_CLONE);
    if (!w) return false;
    Type(w, IDC_CLONE_DEST_START, QStringLiteral("100"));
    return true;
  });
  clone.Then([&] { return Pick(Open(IDD_CLONE), IDC_CLONE_LIST, img, IDC_CLONE_PICK_SOURCE); });
  clone.Then([&] {
    return Chosen(IDD_CLONE, IDC_CLONE_SOURCE) && Pick(Open(IDD_CLONE), IDC_CLONE_LIST, img, IDC_CLONE_PICK_DEST);
  });
  clone.Then([&] {
    gui::DialogWindow* w = Chosen(IDD_CLONE, IDC_CLONE_DEST);
    if (!w) return false;
    Type(w, IDC_CLONE_TOTAL, QStringLiteral("1000"));
    Press(w, IDC_CLONE_GO);
    return true;
  });
  clone.Then(Answer(QMessageBox::Ok, &clone_refusal, &clone_icon));
  clone.Then(Exit(IDD_CLONE, IDC_CLONE_EXIT));
  Run(IDM_CLONE, clone);

  Operator wipe;
  wipe.Then([&] {
    return Pick(Open(IDD_WIPE), IDC_WIPE_LIST, img, IDC_WIPE_PICK);
  });
  wipe.Then([&] {
    gui::DialogWindow* w = Chosen(IDD_WIPE, IDC_WIPE_TARGET);
    if (!w) return false;
    Type(w, IDC_WIPE_START, QStringLiteral("2990"));
    Type(w, IDC_WIPE_TOTAL, QStringLiteral("11"));
    Press(w, IDC_WIPE_GO);
    return true;
  });
  wipe.Then(Answer(QMessageBox::Ok, &wipe_refusal, &wipe_icon));
  wipe.Then(Exit(IDD_WIPE, IDC_WIPE_EXIT));
  Run(IDM_WIPE, wipe);

  EXPECT_FALSE(clone_refusal.isEmpty());
  EXPECT_FALSE(clone_refusal.contains(QStringLiteral("Write now?"))) << clone_refusal.toStdString();
  EXPECT_EQ(clone_icon, QMessageBox::Critical);
  EXPECT_FALSE(wipe_refusal.isEmpty());
  EXPECT_FALSE(wipe_refusal.contains(QStringLiteral("Write now?"))) << wipe_refusal.toStdString();
  EXPECT_EQ(wipe_icon, QMessageBox::Critical);
  EXPECT_EQ(ReadBytes(img), before);
}
