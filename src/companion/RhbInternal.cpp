#include "companion/RhbInternal.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace kestra::rhb::detail {

namespace {

constexpr std::size_t ChunkSize = 1 << 16;

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\f' || c == '\v' || c == '\x1a';
}

// Value of a hex digit, or -1.
constexpr std::array<int8_t, 256> HexTable = [] {
  std::array<int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 10; ++i) t['0' + i] = static_cast<int8_t>(i);
  for (int i = 0; i < 6; ++i) {
    t['A' + i] = static_cast<int8_t>(10 + i);
    t['a' + i] = static_cast<int8_t>(10 + i);
  }
  return t;
}();

int HexValue(char c) { return HexTable[static_cast<unsigned char>(c)]; }

}  // namespace

int32_t Fail(RhbError* error, int32_t code, uint32_t line, const char* fmt, ...) {
  if (error) {
    error->code = code;
    error->line = line;
    error->warning[0] = '\0';
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(error->message, sizeof error->message, fmt, args);
    va_end(args);
  }
  return code;
}

int32_t Succeed(RhbError* error) {
  if (error) *error = RhbError{};
  return RhbOk;
}

void AddWarning(RhbError* error, const char* fmt, ...) {
  if (!error) return;
  char* out = error->warning;
  std::size_t used = std::strlen(out);
  if (used > 0) {
    if (used + 3 >= sizeof error->warning) return;  // no room for more
    std::memcpy(out + used, "; ", 3);
    used += 2;
  }
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(out + used, sizeof error->warning - used, fmt, args);
  va_end(args);
}

LineReader::LineReader(std::FILE* f) : f_(f), chunk_(ChunkSize) {}

bool LineReader::Fill() {
  if (eof_ || readError_) return false;
  len_ = std::fread(chunk_.data(), 1, chunk_.size(), f_);
  pos_ = 0;
  if (len_ < chunk_.size()) {
    if (std::ferror(f_)) {
      readError_ = true;
      len_ = 0;
    } else {
      eof_ = true;
    }
  }
  return len_ > 0;
}

LineReader::Status LineReader::Next() {
  std::size_t used = 0;
  bool tooLong = false;
  bool gotAny = false;
  for (;;) {
    if (pos_ == len_ && !Fill()) {
      if (readError_) return Status::ReadError;
      if (!gotAny) return Status::End;
      break;  // last line without a line end
    }
    gotAny = true;
    const char* start = chunk_.data() + pos_;
    const std::size_t avail = len_ - pos_;
    const void* nl = std::memchr(start, '\n', avail);
    const std::size_t take =
        nl ? static_cast<std::size_t>(static_cast<const char*>(nl) - start) : avail;
    if (!tooLong) {
      if (used + take <= MaxLine) {
        std::memcpy(line_.data() + used, start, take);
        used += take;
      } else {
        tooLong = true;
      }
    }
    pos_ += take;
    if (nl) {
      ++pos_;  // the '\n'
      break;
    }
  }
  ++lineNo_;
  if (tooLong) return Status::TooLong;
  begin_ = 0;
  end_ = used;
  if (lineNo_ == 1 && used >= 3 && std::memcmp(line_.data(), "\xEF\xBB\xBF", 3) == 0) begin_ = 3;
  while (begin_ < end_ && IsBlank(line_[begin_])) ++begin_;
  while (end_ > begin_ && IsBlank(line_[end_ - 1])) --end_;
  return Status::Line;
}

bool ImageWriter::Store(uint64_t addr, const uint8_t* data, std::size_t n) {
  if (n == 0) return true;
  if (addr >= capacity_ || n > capacity_ - addr) return false;
  std::memcpy(buffer_ + addr, data, n);
  const uint64_t last = addr + n - 1;
  if (!any_) {
    lowest_ = addr;
    highest_ = last;
    any_ = true;
  } else {
    if (addr < lowest_) lowest_ = addr;
    if (last > highest_) highest_ = last;
  }
  return true;
}

void ImageWriter::WriteCells(uint32_t* startAddr, uint32_t* endAddr) const {
  if (!any_) return;
  if (startAddr) *startAddr = static_cast<uint32_t>(lowest_);
  if (endAddr) *endAddr = static_cast<uint32_t>(highest_);
}

int32_t DecodeHexPairs(const char* text, std::size_t len, std::size_t column0, uint32_t line,
                       std::array<uint8_t, MaxRecordBytes>& out, std::size_t& count,
                       RhbError* error) {
  // One pass over the pairs; a bad digit makes some value negative, and the
  // message then names the first bad character.
  const std::size_t pairs = len / 2;
  const std::size_t room = pairs < MaxRecordBytes ? pairs : MaxRecordBytes;
  int bad = 0;
  for (std::size_t i = 0; i < room; ++i) {
    const int hi = HexValue(text[2 * i]);
    const int lo = HexValue(text[2 * i + 1]);
    bad |= hi | lo;
    out[i] = static_cast<uint8_t>((hi & 0xF) << 4 | (lo & 0xF));
  }
  if (bad < 0 || room < pairs || len % 2 != 0) {
    for (std::size_t i = 0; i < len; ++i) {
      if (HexValue(text[i]) < 0) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F)
          return Fail(error, RhbMalformedLine, line, "non-hex character '%c' at column %zu", c,
                      column0 + i);
        return Fail(error, RhbMalformedLine, line, "non-hex character 0x%02X at column %zu", c,
                    column0 + i);
      }
    }
    if (len % 2 != 0)
      return Fail(error, RhbMalformedLine, line, "odd number of hex digits (%zu)", len);
    return Fail(error, RhbMalformedLine, line, "record too long (%zu bytes)", pairs);
  }
  count = pairs;
  return RhbOk;
}

int32_t OpenForReading(const char* fileName, FilePtr& file, RhbError* error) {
  file.reset(std::fopen(fileName, "rb"));
  if (!file) return Fail(error, RhbCannotOpen, 0, "cannot open the file: %s", std::strerror(errno));
  struct stat st {};
  if (::fstat(::fileno(file.get()), &st) == 0 && S_ISDIR(st.st_mode)) {
    file.reset();
    return Fail(error, RhbReadError, 0, "%s", FolderMessage);
  }
  return RhbOk;
}

}  // namespace kestra::rhb::detail
