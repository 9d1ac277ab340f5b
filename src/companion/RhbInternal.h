// Helpers shared by the loaders and the saver of KestraRHB.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "companion/KestraRHB.h"

namespace kestra::rhb::detail {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Fills *error (when not null) and returns code. The message is printf-style.
[[gnu::format(printf, 4, 5)]] int32_t Fail(RhbError* error, int32_t code, uint32_t line,
                                           const char* fmt, ...);
int32_t Succeed(RhbError* error);
// Appends a printf-style note to error->warning (when error is not null),
// separated from an earlier one by "; ".
[[gnu::format(printf, 2, 3)]] void AddWarning(RhbError* error, const char* fmt, ...);

// Message of a folder given as a file name.
inline constexpr const char* FolderMessage = "it is a folder, not a file";

// Splits a file into lines, reading it in large chunks. A line is handed out
// without its line end and without leading or trailing blanks (space, tab,
// CR, FF, VT, Ctrl-Z); a UTF-8 byte-order mark that opens the first line is
// dropped. A line longer than MaxLine characters is flagged rather than handed
// out in part.
class LineReader {
 public:
  static constexpr std::size_t MaxLine = 1024;
  enum class Status { Line, TooLong, End, ReadError };

  explicit LineReader(std::FILE* f);
  Status Next();
  const char* Text() const { return line_.data() + begin_; }
  std::size_t Length() const { return end_ - begin_; }
  uint32_t LineNo() const { return lineNo_; }

 private:
  bool Fill();

  std::FILE* f_;
  std::vector<char> chunk_;
  std::size_t pos_ = 0;
  std::size_t len_ = 0;
  bool eof_ = false;
  bool readError_ = false;
  std::array<char, MaxLine> line_{};
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  uint32_t lineNo_ = 0;
};

// Collects the bytes of data records into a bounded buffer and keeps the
// lowest and highest address stored.
class ImageWriter {
 public:
  ImageWriter(uint8_t* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity) {}
  // Stores n bytes at address addr; false (and nothing stored) when any of
  // them would fall outside the buffer.
  bool Store(uint64_t addr, const uint8_t* data, std::size_t n);
  void WriteCells(uint32_t* startAddr, uint32_t* endAddr) const;
  bool StoredAny() const { return any_; }

 private:
  uint8_t* buffer_;
  std::size_t capacity_;
  bool any_ = false;
  uint64_t lowest_ = 0;
  uint64_t highest_ = 0;
};

// Largest record: 255 data bytes plus count, address (up to 4), type and
// checksum.
inline constexpr std::size_t MaxRecordBytes = 262;

// Decodes the hex digit pairs of text[0..len-1] into out. Returns RhbOk, or
// RhbMalformedLine with *error filled (odd digit count, non-hex digit, more
// than MaxRecordBytes bytes). column0 is the 1-based column of text[0] in the
// line, for the message.
int32_t DecodeHexPairs(const char* text, std::size_t len, std::size_t column0, uint32_t line,
                       std::array<uint8_t, MaxRecordBytes>& out, std::size_t& count,
                       RhbError* error);

// Opens FileName for reading; RhbCannotOpen with *error filled on failure,
// RhbReadError for a folder.
int32_t OpenForReading(const char* fileName, FilePtr& file, RhbError* error);

}  // namespace kestra::rhb::detail
