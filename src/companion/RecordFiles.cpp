// Intel HEX and Motorola S-record loaders.
#include <array>
#include <cstring>

#include "companion/KestraRHB.h"
#include "companion/RhbInternal.h"

namespace kestra::rhb {

using detail::DecodeHexPairs;
using detail::Fail;
using detail::ImageWriter;
using detail::LineReader;
using detail::MaxRecordBytes;

namespace {

enum class Step { Go, Stop };

// Reads the file line by line and hands every non-blank line to parseLine
// (text, length, line number, writer, step) until it stops, fails or the file
// ends. The cells are written from what was stored, whatever the outcome. A
// file that stored nothing fails; after a good load parseLine.AddWarnings
// (ended by its terminator or not, error) notes what the file lacks.
template <typename ParseLine>
int32_t LoadRecordFile(const char* fileName, uint8_t* buffer, uint32_t* startAddr,
                       uint32_t* endAddr, std::size_t capacity, RhbError* error,
                       ParseLine parseLine) {
  if (!fileName || !buffer) return Fail(error, RhbBadArgument, 0, "no file name or no buffer");
  detail::FilePtr file;
  if (const int32_t rc = detail::OpenForReading(fileName, file, error); rc != RhbOk) return rc;
  LineReader reader(file.get());
  ImageWriter writer(buffer, capacity);
  int32_t rc = RhbOk;
  bool terminated = false;
  for (;;) {
    const LineReader::Status status = reader.Next();
    if (status == LineReader::Status::End) break;
    if (status == LineReader::Status::ReadError) {
      rc = Fail(error, RhbReadError, reader.LineNo() + 1, "read error");
      break;
    }
    if (status == LineReader::Status::TooLong) {
      rc = Fail(error, RhbMalformedLine, reader.LineNo(), "line longer than %zu characters",
                LineReader::MaxLine);
      break;
    }
    if (reader.Length() == 0) continue;
    Step step = Step::Go;
    rc = parseLine(reader.Text(), reader.Length(), reader.LineNo(), writer, step);
    if (rc != RhbOk) break;
    if (step == Step::Stop) {
      terminated = true;
      break;
    }
  }
  writer.WriteCells(startAddr, endAddr);
  if (rc != RhbOk) return rc;
  if (!writer.StoredAny()) return Fail(error, RhbNoDataRecords, 0, "no data records");
  detail::Succeed(error);
  parseLine.AddWarnings(terminated, error);
  return RhbOk;
}

int32_t StoreOrFail(ImageWriter& writer, uint64_t addr, const uint8_t* data, std::size_t n,
                    std::size_t capacity, uint32_t line, RhbError* error) {
  if (writer.Store(addr, data, n)) return RhbOk;
  return Fail(error, RhbBeyondImage, line,
              "record at 0x%08llX..0x%08llX lies beyond the image (0x%zX bytes)",
              static_cast<unsigned long long>(addr), static_cast<unsigned long long>(addr + n - 1),
              capacity);
}

// Checks the last byte of rec[0..n-1] against what makeCheck computes from
// the 8-bit sum of the bytes before it.
template <typename MakeCheck>
int32_t CheckRecordSum(const std::array<uint8_t, MaxRecordBytes>& rec, std::size_t n,
                       MakeCheck makeCheck, uint32_t line, RhbError* error) {
  uint8_t sum = 0;
  for (std::size_t i = 0; i + 1 < n; ++i) sum = static_cast<uint8_t>(sum + rec[i]);
  const uint8_t expected = makeCheck(sum);
  if (rec[n - 1] == expected) return RhbOk;
  return Fail(error, RhbBadChecksum, line, "bad record checksum 0x%02X (expected 0x%02X)",
              rec[n - 1], expected);
}

// Intel HEX: ":" LL AAAA TT data CC, CC making the byte sum of the record 0.
struct HexParser {
  std::size_t capacity;
  RhbError* error;
  uint64_t base = 0;  // from type 02 or 04 records

  int32_t operator()(const char* text, std::size_t len, uint32_t line, ImageWriter& writer,
                     Step& step) {
    if (text[0] != ':') {
      return Fail(error, RhbMalformedLine, line, "line does not start with ':'");
    }
    std::array<uint8_t, MaxRecordBytes> rec;
    std::size_t n = 0;
    if (const int32_t rc = DecodeHexPairs(text + 1, len - 1, 2, line, rec, n, error); rc != RhbOk)
      return rc;
    if (n < 5) return Fail(error, RhbMalformedLine, line, "record too short (%zu bytes)", n);
    const std::size_t dataLen = rec[0];
    if (n != dataLen + 5) {
      return Fail(error, RhbMalformedLine, line,
                  "length field 0x%02zX does not match the line (%zu data bytes)", dataLen, n - 5);
    }
    const auto twosComplement = [](uint8_t sum) { return static_cast<uint8_t>(0x100 - sum); };
    if (const int32_t rc = CheckRecordSum(rec, n, twosComplement, line, error); rc != RhbOk)
      return rc;
    const uint32_t offset = static_cast<uint32_t>(rec[1] << 8 | rec[2]);
    const uint8_t type = rec[3];
    const uint8_t* data = rec.data() + 4;
    auto needLength = [&](std::size_t want) {
      return Fail(error, RhbMalformedLine, line, "record type %02X needs %zu data bytes, has %zu",
                  type, want, dataLen);
    };
    switch (type) {
      case 0x00:
        return StoreOrFail(writer, base + offset, data, dataLen, capacity, line, error);
      case 0x01:
        step = Step::Stop;
        return RhbOk;
      case 0x02:
        if (dataLen != 2) return needLength(2);
        base = static_cast<uint64_t>(data[0] << 8 | data[1]) << 4;
        return RhbOk;
      case 0x04:
        if (dataLen != 2) return needLength(2);
        base = static_cast<uint64_t>(data[0] << 8 | data[1]) << 16;
        return RhbOk;
      case 0x03:
      case 0x05:
        if (dataLen != 4) return needLength(4);
        return RhbOk;  // start address: not needed for an image
      default:
        return Fail(error, RhbUnsupportedRecord, line, "unsupported record type %02X", type);
    }
  }

  void AddWarnings(bool terminated, RhbError* out) const {
    if (!terminated) detail::AddWarning(out, "no end-of-file record (type 01)");
  }
};

// Motorola S-records: "S" T CC address data SS, SS the ones' complement of the
// byte sum of count, address and data.
struct SrecParser {
  std::size_t capacity;
  RhbError* error;
  uint32_t dataRecords = 0;  // S1/S2/S3 records so far
  // The first S5/S6 record whose count differs from dataRecords.
  bool countDiffers = false;
  int countType = 0;
  uint64_t countGiven = 0;
  uint32_t countFound = 0;

  int32_t operator()(const char* text, std::size_t len, uint32_t line, ImageWriter& writer,
                     Step& step) {
    if (text[0] != 'S') return Fail(error, RhbMalformedLine, line, "line does not start with 'S'");
    if (len < 2 || text[1] < '0' || text[1] > '9')
      return Fail(error, RhbMalformedLine, line, "bad record type after 'S'");
    const int type = text[1] - '0';
    std::array<uint8_t, MaxRecordBytes> rec;
    std::size_t n = 0;
    if (const int32_t rc = DecodeHexPairs(text + 2, len - 2, 3, line, rec, n, error); rc != RhbOk)
      return rc;
    if (n < 2) return Fail(error, RhbMalformedLine, line, "record too short (%zu bytes)", n);
    const std::size_t count = rec[0];
    if (n != count + 1) {
      return Fail(error, RhbMalformedLine, line,
                  "count field 0x%02zX does not match the line (%zu bytes follow)", count, n - 1);
    }
    const auto onesComplement = [](uint8_t sum) { return static_cast<uint8_t>(~sum); };
    if (const int32_t rc = CheckRecordSum(rec, n, onesComplement, line, error); rc != RhbOk)
      return rc;
    // Address width per record type; 0 = not supported.
    static constexpr std::array<std::size_t, 10> AddrBytes = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    const std::size_t addrBytes = AddrBytes[type];
    if (addrBytes == 0)
      return Fail(error, RhbUnsupportedRecord, line, "unsupported record type S%d", type);
    if (count < addrBytes + 1) {
      return Fail(error, RhbMalformedLine, line, "record S%d too short for its %zu-byte address",
                  type, addrBytes);
    }
    uint64_t addr = 0;
    for (std::size_t i = 0; i < addrBytes; ++i) addr = addr << 8 | rec[1 + i];
    const std::size_t dataLen = count - addrBytes - 1;
    switch (type) {
      case 1:
      case 2:
      case 3:
        ++dataRecords;
        return StoreOrFail(writer, addr, rec.data() + 1 + addrBytes, dataLen, capacity, line,
                           error);
      case 5:
      case 6: {
        // A count too large for its 16- or 24-bit field can only hold its
        // low bits.
        const uint64_t field = type == 5 ? 0xFFFF : 0xFFFFFF;
        if (addr != (dataRecords & field) && !countDiffers) {
          countDiffers = true;
          countType = type;
          countGiven = addr;
          countFound = dataRecords;
        }
        return RhbOk;
      }
      case 7:
      case 8:
      case 9:
        step = Step::Stop;
        return RhbOk;
      default:  // S0 header
        return RhbOk;
    }
  }

  void AddWarnings(bool terminated, RhbError* out) const {
    if (countDiffers) {
      detail::AddWarning(out, "S%d record count %llu does not match the %u data records before it",
                         countType, static_cast<unsigned long long>(countGiven),
                         static_cast<unsigned>(countFound));
    }
    if (!terminated) detail::AddWarning(out, "no S7/S8/S9 termination record");
  }
};

}  // namespace

int32_t ExeOpenFile_HEX_RoutAndRT(const char* FileName, uint8_t* Buffer, uint32_t* StartAddr,
                                  uint32_t* EndAddr, std::size_t Capacity, RhbError* Error) {
  return LoadRecordFile(FileName, Buffer, StartAddr, EndAddr, Capacity, Error,
                        HexParser{Capacity, Error});
}

int32_t ExeOpenFile_S19_RoutAndRT(const char* FileName, uint8_t* Buffer, uint32_t* StartAddr,
                                  uint32_t* EndAddr, std::size_t Capacity, RhbError* Error) {
  return LoadRecordFile(FileName, Buffer, StartAddr, EndAddr, Capacity, Error,
                        SrecParser{Capacity, Error});
}

}  // namespace kestra::rhb
