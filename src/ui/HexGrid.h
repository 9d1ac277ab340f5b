// The hex view: a fixed header row, then rows of an address column, 16 byte
// columns and a text column, backed by a model of rows (address, 16 bytes and
// any cells written since) rather than one item per cell.
#pragma once

#include <QString>
#include <QTableView>
#include <cstdint>
#include <memory>

namespace kestra::ui {

class HexGridModel;

class THexGrid : public QTableView {
  Q_OBJECT
 public:
  static constexpr int ColumnCount = 18;
  explicit THexGrid(QWidget* parent = nullptr);
  ~THexGrid() override;

  // Rows as the grid counts them: row 0 is the header row.
  int RowCount() const;
  void ClearRows();  // RowCount := 1
  void ReserveRows(int n);
  // Rows added are shown at the next turn of the event loop, all at once;
  // RowCount, Cell and the setters see them at once.
  void AddRow(uint32_t address, const uint8_t* bytes16);
  // Shows the rows added so far now rather than at the next turn.
  void FlushRows();
  // Rewrites the 16 byte columns and the text column of a data row (>= 1).
  void SetRowBytes(int row, const uint8_t* bytes16);
  // Row (>= 1) showing the given address, or -1.
  int RowOfAddress(uint32_t address) const;
  QString Cell(int col, int row) const;
  void SetCell(int col, int row, const QString& text);
  void SetHeaderCell(int col, const QString& text);
  void SetColWidth(int col, int width);

 private:
  std::unique_ptr<HexGridModel> model_;
};

// Formatting shared by the views: "0x%0.8x", "%0.2X" and the text column.
QString HexAddressText(uint32_t address);
QString HexByteText(uint8_t b);
QString HexRowText(const uint8_t* bytes16);

}  // namespace kestra::ui
