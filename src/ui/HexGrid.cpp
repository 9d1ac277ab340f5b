#include "ui/HexGrid.h"

#include <QAbstractTableModel>
#include <QHeaderView>
#include <QMetaObject>
#include <array>
#include <cstring>
#include <unordered_map>
#include <vector>

namespace kestra::ui {

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
}  // namespace

QString HexAddressText(uint32_t address) {
  std::array<QChar, 10> text;
  text[0] = QLatin1Char('0');
  text[1] = QLatin1Char('x');
  for (int i = 0; i < 8; ++i) {
    text[9 - i] = QLatin1Char(kHexDigits[(address >> (4 * i)) & 0xF]);
  }
  return QString(text.data(), static_cast<qsizetype>(text.size()));
}

QString HexByteText(uint8_t b) {
  const std::array<QChar, 2> text{QLatin1Char(kHexDigits[b >> 4]),
                                  QLatin1Char(kHexDigits[b & 0xF])};
  return QString(text.data(), 2);
}

QString HexRowText(const uint8_t* bytes16) {
  std::array<QChar, 16> text;
  for (int i = 0; i < 16; ++i) {
    const uint8_t b = bytes16[i];
    text[i] = (b < 0x20 || b > 0x7F) ? QLatin1Char('.') : QLatin1Char(static_cast<char>(b));
  }
  return QString(text.data(), 16);
}

// Rows of an address and 16 bytes; the cells are computed when the view asks
// for them. Cells written since a row was filled are kept apart, by cell.
// Rows added one by one are announced to the view in one step at the next
// turn of the event loop (or at once by Flush), so filling a large view costs
// one layout instead of one per row.
class HexGridModel : public QAbstractTableModel {
 public:
  struct Row {
    uint32_t address;
    std::array<uint8_t, 16> bytes;
  };

  int rowCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() ? 0 : shown_;
  }
  int columnCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() ? 0 : THexGrid::ColumnCount;
  }

  QVariant data(const QModelIndex& index, int role) const override {
    if (role != Qt::DisplayRole || !index.isValid()) return {};
    return Text(index.row(), index.column());
  }

  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (role != Qt::DisplayRole || orientation != Qt::Horizontal) return {};
    if (section < 0 || section >= THexGrid::ColumnCount) return {};
    return header_[section];
  }

  Qt::ItemFlags flags(const QModelIndex& index) const override {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
  }

  int Count() const { return static_cast<int>(rows_.size()); }
  const Row& RowAt(int r) const { return rows_[static_cast<size_t>(r)]; }

  // Text of data row r (0-based), column c.
  QString Text(int r, int c) const {
    if (r < 0 || r >= Count() || c < 0 || c >= THexGrid::ColumnCount) return {};
    if (!overrides_.empty()) {
      const auto it = overrides_.find(Key(r, c));
      if (it != overrides_.end()) return it->second;
    }
    const Row& row = RowAt(r);
    if (c == 0) return HexAddressText(row.address);
    if (c <= 16) return HexByteText(row.bytes[static_cast<size_t>(c - 1)]);
    return HexRowText(row.bytes.data());
  }

  QString Header(int c) const { return header_[static_cast<size_t>(c)]; }

  void SetHeader(int c, const QString& text) {
    header_[static_cast<size_t>(c)] = text;
    emit headerDataChanged(Qt::Horizontal, c, c);
  }

  void Clear() {
    beginResetModel();
    rows_.clear();
    overrides_.clear();
    shown_ = 0;
    endResetModel();
  }

  void Reserve(int n) {
    if (n > 0) rows_.reserve(static_cast<size_t>(n));
  }

  void Add(uint32_t address, const uint8_t* bytes16) {
    Row row{address, {}};
    std::memcpy(row.bytes.data(), bytes16, row.bytes.size());
    rows_.push_back(row);
    if (!flushQueued_) {
      flushQueued_ = true;
      QMetaObject::invokeMethod(
          this, [this] { Flush(); }, Qt::QueuedConnection);
    }
  }

  void Flush() {
    flushQueued_ = false;
    const int total = Count();
    if (total == shown_) return;
    if (shown_ == 0) {
      beginResetModel();
      shown_ = total;
      endResetModel();
    } else {
      beginInsertRows({}, shown_, total - 1);
      shown_ = total;
      endInsertRows();
    }
  }

  void SetBytes(int r, const uint8_t* bytes16) {
    std::memcpy(rows_[static_cast<size_t>(r)].bytes.data(), bytes16, 16);
    for (int c = 1; c < THexGrid::ColumnCount; ++c) overrides_.erase(Key(r, c));
    Changed(r, 1, THexGrid::ColumnCount - 1);
  }

  void SetText(int r, int c, const QString& text) {
    overrides_[Key(r, c)] = text;
    Changed(r, c, c);
  }

  int Find(uint32_t address) const {
    if (rows_.empty()) return -1;
    // The views show consecutive rows: try the row the first address implies.
    const uint32_t first = rows_.front().address;
    if (address >= first) {
      const uint64_t guess = (static_cast<uint64_t>(address) - first) / 16;
      if (guess < rows_.size() && Holds(rows_[guess], address)) return static_cast<int>(guess);
    }
    for (size_t r = 0; r < rows_.size(); ++r) {
      if (Holds(rows_[r], address)) return static_cast<int>(r);
    }
    return -1;
  }

 private:
  static uint64_t Key(int r, int c) {
    return static_cast<uint64_t>(r) * THexGrid::ColumnCount + static_cast<uint64_t>(c);
  }
  static bool Holds(const Row& row, uint32_t address) {
    return address >= row.address && static_cast<uint64_t>(address) < uint64_t{row.address} + 16;
  }
  void Changed(int r, int c0, int c1) {
    // Rows not yet announced are read fresh when they are.
    if (r < shown_) emit dataChanged(index(r, c0), index(r, c1), {Qt::DisplayRole});
  }

  std::vector<Row> rows_;
  std::unordered_map<uint64_t, QString> overrides_;
  std::array<QString, THexGrid::ColumnCount> header_;
  int shown_ = 0;
  bool flushQueued_ = false;
};

THexGrid::THexGrid(QWidget* parent) : QTableView(parent), model_(std::make_unique<HexGridModel>()) {
  setModel(model_.get());
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setWordWrap(false);
  setTextElideMode(Qt::ElideNone);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

  QHeaderView* top = horizontalHeader();
  top->setMinimumSectionSize(1);
  top->setDefaultSectionSize(25);
  top->setSectionResizeMode(QHeaderView::Fixed);
  top->setHighlightSections(false);
  top->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  top->setFixedHeight(20);

  QHeaderView* side = verticalHeader();
  side->setMinimumSectionSize(1);
  side->setDefaultSectionSize(20);
  side->setSectionResizeMode(QHeaderView::Fixed);
  side->hide();
}

THexGrid::~THexGrid() {
  // The view lets go of the model before the model goes.
  setModel(nullptr);
}

int THexGrid::RowCount() const { return 1 + model_->Count(); }

void THexGrid::ClearRows() { model_->Clear(); }

void THexGrid::ReserveRows(int n) { model_->Reserve(n); }

void THexGrid::AddRow(uint32_t address, const uint8_t* bytes16) { model_->Add(address, bytes16); }

void THexGrid::FlushRows() { model_->Flush(); }

void THexGrid::SetRowBytes(int row, const uint8_t* bytes16) {
  if (row < 1 || row > model_->Count()) return;
  model_->SetBytes(row - 1, bytes16);
}

int THexGrid::RowOfAddress(uint32_t address) const {
  const int r = model_->Find(address);
  return r < 0 ? -1 : r + 1;
}

QString THexGrid::Cell(int col, int row) const {
  if (col < 0 || col >= ColumnCount) return {};
  if (row == 0) return model_->Header(col);
  return model_->Text(row - 1, col);
}

void THexGrid::SetCell(int col, int row, const QString& text) {
  if (col < 0 || col >= ColumnCount) return;
  if (row == 0) {
    model_->SetHeader(col, text);
  } else if (row >= 1 && row <= model_->Count()) {
    model_->SetText(row - 1, col, text);
  }
}

void THexGrid::SetHeaderCell(int col, const QString& text) { SetCell(col, 0, text); }

void THexGrid::SetColWidth(int col, int width) {
  if (col < 0 || col >= ColumnCount) return;
  setColumnWidth(col, width);
}

}  // namespace kestra::ui
