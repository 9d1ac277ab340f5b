#include <gtest/gtest.h>

#include <QTest>
#include <array>

#include "ui/HexGrid.h"

namespace kestra::ui {
namespace {

TEST(HexFormat, AddressBytesAndText) {
  EXPECT_EQ(HexAddressText(0xC000), "0x0000C000");
  EXPECT_EQ(HexAddressText(0xFFFFFFF0u), "0xFFFFFFF0");
  EXPECT_EQ(HexByteText(0x00), "00");
  EXPECT_EQ(HexByteText(0xAB), "AB");
  const std::array<uint8_t, 16> bytes{0x00, 0x1F, 0x20, 0x41, 0x7E, 0x7F, 0x80, 0xFF,
                                      'k',  '0',  '.',  0x0A, 0x09, 0xC0, 0xDB, 'z'};
  const QString text = HexRowText(bytes.data());
  ASSERT_EQ(text.size(), 16);
  EXPECT_EQ(text, QString(".. A~") + QChar(0x7F) + "..k0.....z");
}

class HexGridTest : public ::testing::Test {
 protected:
  static std::array<uint8_t, 16> Bytes(uint8_t first) {
    std::array<uint8_t, 16> b{};
    for (int i = 0; i < 16; ++i) b[i] = static_cast<uint8_t>(first + i);
    return b;
  }
  void Fill(uint32_t address, int rows) {
    for (int i = 0; i < rows; ++i) {
      const auto b = Bytes(static_cast<uint8_t>(0x30 + i));
      grid.AddRow(address + 16u * static_cast<uint32_t>(i), b.data());
    }
  }
  THexGrid grid;
};

TEST_F(HexGridTest, HeaderRowCountsAndRowsAreShownInBulk) {
  EXPECT_EQ(grid.RowCount(), 1);
  EXPECT_EQ(grid.model()->columnCount(), THexGrid::ColumnCount);
  grid.SetHeaderCell(1, "  0");
  grid.SetCell(16, 0, "  f");
  EXPECT_EQ(grid.Cell(1, 0), "  0");
  EXPECT_EQ(grid.model()->headerData(16, Qt::Horizontal).toString(), "  f");

  grid.ReserveRows(3);
  Fill(0xC000, 3);
  EXPECT_EQ(grid.RowCount(), 4);
  EXPECT_EQ(grid.Cell(0, 1), "0x0000C000");
  EXPECT_EQ(grid.Cell(0, 3), "0x0000C020");
  EXPECT_EQ(grid.Cell(1, 2), "31");
  EXPECT_EQ(grid.Cell(16, 2), "40");
  EXPECT_EQ(grid.Cell(17, 1), "0123456789:;<=>?");
  EXPECT_EQ(grid.Cell(18, 1), "");
  EXPECT_EQ(grid.Cell(0, 4), "");
  // The view learns of the rows at the next turn of the event loop.
  EXPECT_TRUE(QTest::qWaitFor([&] { return grid.model()->rowCount() == 3; }, 10000));
  EXPECT_EQ(grid.model()->index(2, 0).data().toString(), "0x0000C020");

  grid.ClearRows();
  EXPECT_EQ(grid.RowCount(), 1);
  EXPECT_EQ(grid.model()->rowCount(), 0);
  EXPECT_EQ(grid.Cell(1, 0), "  0");  // the header stays
  Fill(0x100, 2);
  grid.FlushRows();
  EXPECT_EQ(grid.model()->rowCount(), 2);
  EXPECT_EQ(grid.Cell(0, 1), "0x00000100");
}

TEST_F(HexGridTest, SetCellOverridesAndSetRowBytesRewritesTheRow) {
  Fill(0xC000, 2);
  grid.FlushRows();
  grid.SetCell(4, 1, "44");
  grid.SetCell(0, 1, "marked");
  grid.SetCell(4, 9, "ignored");  // no such row
  EXPECT_EQ(grid.Cell(4, 1), "44");
  EXPECT_EQ(grid.model()->index(0, 4).data().toString(), "44");
  EXPECT_EQ(grid.Cell(5, 1), "34");
  EXPECT_EQ(grid.RowCount(), 3);

  std::array<uint8_t, 16> b{};
  b.fill(0xFF);
  b[3] = 'S';
  grid.SetRowBytes(1, b.data());
  EXPECT_EQ(grid.Cell(4, 1), "53");
  EXPECT_EQ(grid.Cell(1, 1), "FF");
  EXPECT_EQ(grid.Cell(17, 1), "...S............");
  EXPECT_EQ(grid.Cell(0, 1), "marked");  // the address column stays
  EXPECT_EQ(grid.Cell(1, 2), "31");      // other rows untouched
  grid.SetRowBytes(0, b.data());         // the header row has no bytes
  grid.SetRowBytes(3, b.data());
  EXPECT_EQ(grid.Cell(1, 0), "");
}

TEST_F(HexGridTest, RowOfAddress) {
  Fill(0xC000, 4);
  EXPECT_EQ(grid.RowOfAddress(0xC000), 1);
  EXPECT_EQ(grid.RowOfAddress(0xC01F), 2);
  EXPECT_EQ(grid.RowOfAddress(0xC03F), 4);
  EXPECT_EQ(grid.RowOfAddress(0xC040), -1);
  EXPECT_EQ(grid.RowOfAddress(0xBFFF), -1);

  // Rows that are not consecutive are still found.
  const auto b = Bytes(0);
  grid.AddRow(0x20000, b.data());
  EXPECT_EQ(grid.RowOfAddress(0x20008), 5);
  grid.ClearRows();
  EXPECT_EQ(grid.RowOfAddress(0xC000), -1);
  grid.AddRow(0xFFFFFFF0u, b.data());
  EXPECT_EQ(grid.RowOfAddress(0xFFFFFFFFu), 1);
}

TEST_F(HexGridTest, LayoutDefaults) {
  EXPECT_EQ(grid.columnWidth(1), 25);
  EXPECT_EQ(grid.columnWidth(17), 25);
  grid.SetColWidth(0, 70);
  grid.SetColWidth(17, 130);
  EXPECT_EQ(grid.columnWidth(0), 70);
  EXPECT_EQ(grid.columnWidth(17), 130);
  Fill(0, 2);
  grid.FlushRows();
  EXPECT_EQ(grid.rowHeight(0), 20);
}

}  // namespace
}  // namespace kestra::ui
