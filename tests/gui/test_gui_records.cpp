// The record builders as the operator runs them in the window: dialogs 130
// and 131 opened from the Utilities menu, fields typed, drop-downs moved with
// the keys, Write pressed, the question answered (Enter says No), the
// sectors and the undo file checked on an image drive; the refusals, and the
// one choice of the entry to replace when a table is full.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <cstring>
#include <functional>

#include "gui_fixture.h"
#include "gui_operator.h"
#include "app/status.h"
#include "platform/bytes.h"
#include "utils/undo.h"

namespace fs = std::filesystem;

namespace {

using namespace gui_operator;

constexpr std::size_t kSector = 512;
constexpr std::uint64_t kImageSectors = 16384;  // 8 MiB

std::vector<std::uint8_t> ReadBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}
std::vector<std::uint8_t> SectorOf(const std::vector<std::uint8_t>& img, std::uint64_t lba) {
  return {img.begin() + static_cast<std::ptrdiff_t>(lba * kSector),
          img.begin() + static_cast<std::ptrdiff_t>((lba + 1) * kSector)};
}

// A partition table entry: type, first sector, sector count.
void PutEntry(std::vector<std::uint8_t>& mbr, int slot, std::uint8_t type, std::uint32_t first, std::uint32_t count) {
  std::span<std::uint8_t> e(mbr.data() + 446 + 16 * (slot - 1), 16);
  e[4] = type;
  le::Write<std::uint32_t>(e, 8, first);
  le::Write<std::uint32_t>(e, 12, count);
}



template <class W>
W* In(gui::DialogWindow* w, int id) {
  return qobject_cast<W*>(w->widgetFor(id));
}

// Moves a drop-down's choice with the arrow keys, as from the keyboard.
void Arrow(gui::DialogWindow* w, int id, Qt::Key key, int times = 1) {
  auto* c = In<QComboBox>(w, id);
  ASSERT_NE(c, nullptr) << id;
  for (int i = 0; i < times; ++i) QTest::keyClick(c, key);
}

}  // namespace

class GuiRecordTest : public GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    const char* xdg = std::getenv("XDG_DATA_HOME");
    saved_xdg_ = xdg ? std::optional<std::string>(xdg) : std::nullopt;
    ::setenv("XDG_DATA_HOME", (temp_ / "data").c_str(), 1);
    OpenMain();
  }
  void TearDown() override {
    if (saved_xdg_) ::setenv("XDG_DATA_HOME", saved_xdg_->c_str(), 1);
    else ::unsetenv("XDG_DATA_HOME");
    GuiTest::TearDown();
  }

  gui::ListControlView* PhyList() const { return Widget<gui::ListControlView>(IDC_PHY_LIST); }

  // An 8 MiB image holding `mbr` as its first sector, added as a drive and (select) clicked.
  fs::path AddDrive(const std::vector<std::uint8_t>& mbr, bool select = true) {
    const fs::path p = temp_ / "disk.img";
    {
      std::ofstream out(p, std::ios::binary);
      out.write(reinterpret_cast<const char*>(mbr.data()), static_cast<std::streamsize>(mbr.size()));
    }
    fs::resize_file(p, kImageSectors * kSector);
    EXPECT_EQ(AddImageFile(App(), p.string()), 1);
    gui::SyncAllDialogs();
    if (select) {
      ClickAt(PhyList(), LabelAt(PhyList(), PhyList()->model()->index(0, 0)));
      Drain();
    }
    return p;
  }

  // Runs a menu command while the operator works through the steps.
  void Run(int menu_id, Operator& op) {
    op.Start();
    Window()->actionFor(menu_id)->trigger();
    Drain();
    EXPECT_EQ(op.done(), op.total()) << "the operator got stuck at step " << op.done();
  }

  std::vector<fs::path> UndoFiles() const {
    std::vector<fs::path> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(temp_ / "data" / "retrova" / "undo", ec)) out.push_back(e.path());
    return out;
  }

  std::optional<std::string> saved_xdg_;
};

// A full table: Write asks once which entry to replace, naming each; Enter
// at the question writes nothing; Yes writes the chosen entry only, and the
// undo file holds the sector as it was.
TEST_F(GuiRecordTest, PartitionRecordReplacesTheChosenEntryOfAFullTable) {
  std::vector<std::uint8_t> mbr(kSector);
  for (std::size_t i = 0; i < 446; ++i) mbr[i] = static_cast<std::uint8_t>(i * 7 + 1);  // boot code kept
  PutEntry(mbr, 1, 0x83, 2048, 1024);
  PutEntry(mbr, 2, 0x82, 3072, 1024);
  PutEntry(mbr, 3, 0x0C, 4096, 1024);
  PutEntry(mbr, 4, 0x07, 5120, 1024);
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  const fs::path img = AddDrive(mbr);
  const auto before = ReadBytes(img);

  QStringList rows;
  QString question, written, drive_line;
  bool no_is_default = false;
  int choosers = 0;
  Operator op;
  auto fill_and_write = [&] {
    gui::DialogWindow* w = Open(IDD_PARTREC);
    if (!w) return false;
    drive_line = In<QLabel>(w, IDC_PR_DRIVE) ? In<QLabel>(w, IDC_PR_DRIVE)->text() : QString();
    Type(w, IDC_PR_RESERVED, QStringLiteral("6144"));
    Type(w, IDC_PR_TOTAL, QStringLiteral("4096"));
    Arrow(w, IDC_PR_FS, Qt::Key_Down);  // "FAT 32"
    Press(w, IDC_PR_BOOTABLE);
    Press(w, IDC_PR_WRITE);
    return true;
  };
  auto choose = [&](int row) {
    return [&, row] {
      gui::DialogWindow* w = Open(IDD_PARTREC_SLOT);
      if (!w) return false;
      auto* list = In<gui::ListControlView>(w, IDC_SLOT_LIST);
      rows.clear();
      for (int r = 0; r < list->model()->rowCount(); ++r)
        rows << list->model()->index(r, 0).data().toString() + ": " + list->model()->index(r, 1).data().toString();
      // Once the list is laid out and shows the row.
      const QModelIndex idx = list->model()->index(row, 0);
      if (!list->viewport()->rect().contains(LabelAt(list, idx))) return false;
      ClickAt(list, LabelAt(list, idx));
      if (GetSelectedRow(GetListView(w->dialog(), IDC_SLOT_LIST)) != row) return false;
      Press(w, IDC_SLOT_REPLACE);
      ++choosers;
      return true;
    };
  };
  op.Then(fill_and_write);
  op.Then(choose(2));
  op.Then([&] {  // Enter at the question: No
    QMessageBox* b = Box();
    if (!b) return false;
    question = b->text();
    no_is_default = b->defaultButton() == b->button(QMessageBox::No);
    QTest::keyClick(b, Qt::Key_Return);
    return true;
  });
  op.Then([&] {
    gui::DialogWindow* w = Open(IDD_PARTREC);
    if (!w || Box() || Open(IDD_PARTREC_SLOT)) return false;
    EXPECT_EQ(ReadBytes(img), before) << "No wrote something";
    Press(w, IDC_PR_WRITE);
    return true;
  });
  op.Then(choose(1));
  op.Then(Answer(QMessageBox::Yes));
  op.Then(Answer(QMessageBox::Ok, &written));
  op.Then([&] {
    gui::DialogWindow* w = Open(IDD_PARTREC);
    if (!w || Box()) return false;
    Press(w, IDC_PR_EXIT);
    return true;
  });
  Run(IDM_BUILD_PARTREC, op);

  EXPECT_EQ(FindLiveDialog(IDD_PARTREC), nullptr);
  EXPECT_EQ(App().partrec_dlg, nullptr);
  EXPECT_EQ(choosers, 2) << "one choice per Write, not a question per entry";
  ASSERT_EQ(rows.size(), 4);
  EXPECT_EQ(rows[0], QStringLiteral("1: type 83 (Linux), start 2048, 1024 sectors"));
  EXPECT_EQ(rows[1], QStringLiteral("2: type 82 (Linux swap), start 3072, 1024 sectors"));
  EXPECT_EQ(rows[2], QStringLiteral("3: type 0C (FAT32 LBA), start 4096, 1024 sectors"));
  EXPECT_EQ(rows[3], QStringLiteral("4: type 07 (NTFS/exFAT), start 5120, 1024 sectors"));
  EXPECT_TRUE(no_is_default);
  EXPECT_TRUE(question.contains(QString::fromStdString(img.string()))) << question.toStdString();
  EXPECT_TRUE(question.contains(QStringLiteral("sectors 0-0 (partition table, entry 3)"))) << question.toStdString();
  EXPECT_TRUE(drive_line.startsWith(QStringLiteral("Phy ID 0 -- "))) << drive_line.toStdString();

  // Entry 2 replaced; the code, the other entries and every other sector as they were.
  const auto after = ReadBytes(img);
  ASSERT_EQ(after.size(), before.size());
  std::vector<std::uint8_t> want = SectorOf(before, 0);
  std::span<std::uint8_t> e(want.data() + 446 + 16, 16);
  std::fill(e.begin(), e.end(), 0);
  e[0] = 0x80;
  e[4] = 0x0C;
  le::Write<std::uint32_t>(e, 8, 6144);
  le::Write<std::uint32_t>(e, 12, 4096);
  const auto got = SectorOf(after, 0);
  EXPECT_TRUE(std::equal(got.begin(), got.begin() + 446 + 17, want.begin())) << "boot code, entry 1, boot flag";
  EXPECT_TRUE(std::equal(got.begin() + 446 + 24, got.end(), want.begin() + 446 + 24)) << "first, total, 3, 4, 55 AA";
  EXPECT_EQ(got[446 + 16 + 4], 0x0C);
  EXPECT_TRUE(std::equal(after.begin() + kSector, after.end(), before.begin() + kSector));

  // The undo file named in the last box holds the old sector 0.
  const auto undo = UndoFiles();
  ASSERT_EQ(undo.size(), 1u);
  EXPECT_TRUE(written.contains(QString::fromStdString(undo[0].string()))) << written.toStdString();
  std::string error;
  const auto u = LoadUndo(undo[0], error);
  ASSERT_TRUE(u) << error;
  ASSERT_EQ(u->ranges.size(), 1u);
  EXPECT_EQ(u->ranges[0].lba, 0u);
  EXPECT_EQ(u->ranges[0].bytes, SectorOf(before, 0));
}

// Refusals: no drive chosen (neither dialog opens), a GPT protective table
// (nothing written, no undo file), Cancel at the entry choice.
TEST_F(GuiRecordTest, RefusalsWriteNothing) {
  std::vector<std::uint8_t> gpt(kSector);
  PutEntry(gpt, 1, 0xEE, 1, kImageSectors - 1);
  gpt[510] = 0x55;
  gpt[511] = 0xAA;
  const fs::path img = AddDrive(gpt, /*select=*/false);
  const auto before = ReadBytes(img);

  for (int command : {IDM_BUILD_PARTREC, IDM_BUILD_BOOTREC}) {
    QString text;
    bool dialog_seen = false;
    Operator op;
    const Operator::Step answer = Answer(QMessageBox::Ok, &text);
    op.Then([&] {
      dialog_seen = dialog_seen || FindLiveDialog(IDD_PARTREC) || FindLiveDialog(IDD_BOOTREC);
      return answer();
    });
    Run(command, op);
    EXPECT_EQ(text, QStringLiteral("Please CHOOSE a PHYSICAL drive.")) << command;
    EXPECT_FALSE(dialog_seen) << command;
    EXPECT_EQ(FindLiveDialog(IDD_PARTREC), nullptr);
    EXPECT_EQ(FindLiveDialog(IDD_BOOTREC), nullptr);
  }

  ClickAt(PhyList(), LabelAt(PhyList(), PhyList()->model()->index(0, 0)));
  Drain();
  QString refusal;
  Operator op;
  op.Then([&] {
    gui::DialogWindow* w = Open(IDD_PARTREC);
    if (!w) return false;
    Type(w, IDC_PR_RESERVED, QStringLiteral("2048"));
    Type(w, IDC_PR_TOTAL, QStringLiteral("2048"));
    Press(w, IDC_PR_WRITE);
    return true;
  });
  op.Then(Answer(QMessageBox::Ok, &refusal));
  op.Then([&] {
    gui::DialogWindow* w = Open(IDD_PARTREC);
    if (!w || Box()) return false;
    Press(w, IDC_PR_EXIT);
    return true;
  });
  Run(IDM_BUILD_PARTREC, op);
  EXPECT_TRUE(refusal.startsWith(QStringLiteral("Nothing was written"))) << refusal.toStdString();
  EXPECT_TRUE(refusal.contains(QStringLiteral("GPT protective"))) << refusal.toStdString();
  EXPECT_EQ(ReadBytes(img), before);
  EXPECT_TRUE(UndoFiles().empty());
}

// Dialog 131: NTFS under 95-98-ME is refused with its own message; with
// NT-2K-XP the No button writes nothing, Yes writes the record and its
// backup in the volume's last sector, and the undo file keeps both.
TEST_F(GuiRecordTest, BootRecordWritesAfterYesAndRefusesNtfsFor9x) {
  const fs::path img = AddDrive(std::vector<std::uint8_t>(kSector));
  const auto before = ReadBytes(img);
  QString refusal, question, lba, total, written;
  Operator op;
  op.Then([&] {
    gui::DialogWindow* w = Open(IDD_BOOTREC);
    if (!w) return false;
    lba = In<QLineEdit>(w, IDC_BR_LBA)->text();
    total = In<QLineEdit>(w, IDC_BR_TOTAL)->text();
    Arrow(w, IDC_BR_OS, Qt::Key_Down);  // "95-98-ME"
    Press(w, IDC_BR_WRITE);
    return true;
  });
  op.Then(Answer(QMessageBox::Ok, &refusal));
  op.Then([&] {
    gui::DialogWindow* w = Open(IDD_BOOTREC);
    if (!w || Box()) return false;
    EXPECT_EQ(ReadBytes(img), before);
    Arrow(w, IDC_BR_OS, Qt::Key_Up);  // back to "NT-2K-XP"
    Arrow(w, IDC_BR_CLUSTER, Qt::Key_Down);  // 8 -> 16 sectors per cluster
    Type(w, IDC_BR_TOTAL, QStringLiteral("16000"));
    Press(w, IDC_BR_WRITE);
    return true;
  });
  op.Then(Answer(QMessageBox::No, &question));
  op.Then([&] {
    gui::DialogWindow* w = Open(IDD_BOOTREC);
    if (!w || Box()) return false;
    EXPECT_EQ(ReadBytes(img), before) << "No wrote something";
    Press(w, IDC_BR_WRITE);
    return true;
  });
  op.Then(Answer(QMessageBox::Yes));
  op.Then(Answer(QMessageBox::Ok, &written));
  op.Then([&] {
    gui::DialogWindow* w = Open(IDD_BOOTREC);
    if (!w || Box()) return false;
    Press(w, IDC_BR_EXIT);
    return true;
  });
  Run(IDM_BUILD_BOOTREC, op);

  EXPECT_EQ(App().bootrec_dlg, nullptr);
  EXPECT_EQ(lba, QStringLiteral("63"));
  EXPECT_EQ(total, QString::number(kImageSectors - 63));
  EXPECT_EQ(refusal, QStringLiteral("Your current OS config is 95/98/ME.  Change to NT/2K/XP."));
  EXPECT_TRUE(question.contains(QStringLiteral("sectors 63-63 (boot record)"))) << question.toStdString();
  EXPECT_TRUE(question.contains(QStringLiteral("sectors 16062-16062 (backup boot record)"))) << question.toStdString();

  const auto after = ReadBytes(img);
  const auto rec = SectorOf(after, 63);
  EXPECT_EQ(std::string(rec.begin() + 3, rec.begin() + 11), "NTFS    ");
  EXPECT_EQ(rec[13], 16) << "sectors per cluster as chosen";
  EXPECT_EQ(le::U64(rec, 40), 15999u) << "the volume's sectors but the backup's";
  EXPECT_EQ(rec[510], 0x55);
  EXPECT_EQ(rec[511], 0xAA);
  EXPECT_EQ(SectorOf(after, 16062), rec);
  // Nothing else moved.
  std::vector<std::uint8_t> rest = after;
  std::fill_n(rest.begin() + 63 * kSector, kSector, 0);
  std::fill_n(rest.begin() + 16062 * kSector, kSector, 0);
  EXPECT_EQ(rest, before);

  const auto undo = UndoFiles();
  ASSERT_EQ(undo.size(), 1u);
  EXPECT_TRUE(written.contains(QString::fromStdString(undo[0].string()))) << written.toStdString();
  std::string error;
  const auto u = LoadUndo(undo[0], error);
  ASSERT_TRUE(u) << error;
  ASSERT_EQ(u->ranges.size(), 2u);
  EXPECT_EQ(u->ranges[0].lba, 63u);
  EXPECT_EQ(u->ranges[1].lba, 16062u);
  EXPECT_EQ(u->ranges[0].bytes, std::vector<std::uint8_t>(kSector, 0));
}
