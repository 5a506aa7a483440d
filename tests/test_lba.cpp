// Sector addresses with checked arithmetic, and the page-aligned read buffer.
#include <gtest/gtest.h>

#include <cstdint>
#include <utility>

#include "platform/aligned_buffer.h"
#include "platform/lba.h"

TEST(LbaTests, SumsDifferencesAndByteOffsetsRefuseToWrap) {
  EXPECT_EQ(Lba(10).Plus(5), Lba(15));
  EXPECT_EQ(Lba(UINT64_MAX - 5).Plus(5), Lba(UINT64_MAX));
  EXPECT_FALSE(Lba(UINT64_MAX - 5).Plus(6));
  EXPECT_EQ(Lba(10).Minus(10), Lba(0));
  EXPECT_FALSE(Lba(10).Minus(11));
  EXPECT_EQ(Lba(3).ByteOffset(), 1536u);
  EXPECT_EQ(Lba(UINT64_MAX / 512).ByteOffset(), UINT64_MAX / 512 * 512);
  EXPECT_FALSE(Lba(UINT64_MAX / 512 + 1).ByteOffset());
  EXPECT_EQ(Lba(1).ByteOffset(4096), 4096u);

  EXPECT_EQ(Lba::FromStored(7), Lba(7));
  EXPECT_FALSE(Lba::FromStored(-1)) << "a negative record field names no sector";
  EXPECT_EQ(Lba(UINT64_MAX).Stored(), -1) << "the field keeps the same bits";
}

TEST(LbaTests, RangesEndContainAndFitADrive) {
  const SectorRange r{Lba(100), 50};
  EXPECT_EQ(r.End(), Lba(150));
  EXPECT_TRUE(r.Contains(Lba(100)) && r.Contains(Lba(149)));
  EXPECT_FALSE(r.Contains(Lba(99)) || r.Contains(Lba(150)));
  EXPECT_FALSE((SectorRange{Lba(100), 0}.Contains(Lba(100))));
  EXPECT_FALSE((SectorRange{Lba(UINT64_MAX), 2}.End())) << "the end does not fit";
  EXPECT_TRUE((SectorRange{Lba(UINT64_MAX - 1), 5}.Contains(Lba(UINT64_MAX)))) << "contains without a wrapped end";
  EXPECT_EQ(r.Within(120).count, 20u);
  EXPECT_EQ(r.Within(1000).count, 50u);
  EXPECT_EQ(r.Within(100).count, 0u);
  EXPECT_EQ((SectorRange{Lba(5), UINT64_MAX}.Within(20).count), 15u);
}

TEST(AlignedBufferTests, PageAlignedZeroFilledAndMovable) {
  const std::size_t page = AlignedBuffer::PageSize();
  for (std::size_t size : {std::size_t{512}, std::size_t{1} << 20, std::size_t{3 * 4096 + 7}}) {
    AlignedBuffer b(size);
    ASSERT_EQ(b.size(), size);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.data()) % page, 0u) << size;
    EXPECT_EQ(b.span().size(), size);
    bool zero = true;
    for (std::uint8_t v : b.span()) zero = zero && v == 0;
    EXPECT_TRUE(zero) << size;
  }
  AlignedBuffer a(4096);
  a[10] = 42;
  std::uint8_t* data = a.data();
  AlignedBuffer moved(std::move(a));
  EXPECT_EQ(moved.data(), data);
  EXPECT_EQ(moved[10], 42);
  EXPECT_TRUE(a.empty() && a.data() == nullptr);
  AlignedBuffer assigned;
  assigned = std::move(moved);
  EXPECT_EQ(assigned.data(), data);
  EXPECT_TRUE(AlignedBuffer().span().empty());
  static_assert(!std::is_copy_constructible_v<AlignedBuffer>);
}
