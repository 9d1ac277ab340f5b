#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QTemporaryDir>
#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

#include "companion/KestraRHB.h"

using namespace kestra::rhb;

namespace {

// A buffer of `capacity` bytes preset to 0xFF between two runs of canaries.
class GuardedBuffer {
 public:
  static constexpr std::size_t Guard = 64;
  static constexpr uint8_t Canary = 0xA5;
  explicit GuardedBuffer(std::size_t capacity)
      : capacity_(capacity), bytes_(capacity + 2 * Guard, Canary) {
    std::fill(data(), data() + capacity, 0xFF);
  }
  uint8_t* data() { return bytes_.data() + Guard; }
  uint8_t operator[](std::size_t i) const { return bytes_[Guard + i]; }
  std::size_t capacity() const { return capacity_; }
  bool GuardsIntact() const {
    for (std::size_t i = 0; i < Guard; ++i)
      if (bytes_[i] != Canary || bytes_[Guard + capacity_ + i] != Canary) return false;
    return true;
  }
  std::size_t CountNotFF() const {
    std::size_t n = 0;
    for (std::size_t i = 0; i < capacity_; ++i) n += (*this)[i] != 0xFF;
    return n;
  }

 private:
  std::size_t capacity_;
  std::vector<uint8_t> bytes_;
};

std::string Hex2(unsigned v) {
  char t[3];
  std::snprintf(t, sizeof t, "%02X", v & 0xFF);
  return t;
}

// One Intel HEX record with a correct checksum.
std::string IHex(unsigned type, unsigned addr, std::initializer_list<unsigned> data) {
  unsigned sum = static_cast<unsigned>(data.size()) + (addr >> 8) + addr + type;
  std::string s =
      ":" + Hex2(static_cast<unsigned>(data.size())) + Hex2(addr >> 8) + Hex2(addr) + Hex2(type);
  for (unsigned b : data) {
    s += Hex2(b);
    sum += b;
  }
  return s + Hex2(0x100 - (sum & 0xFF)) + "\n";
}

// One S-record with a correct checksum; the address width follows the type.
std::string SRec(unsigned type, unsigned addr, std::initializer_list<unsigned> data) {
  static const unsigned widths[10] = {2, 2, 3, 4, 2, 2, 3, 4, 3, 2};
  const unsigned w = widths[type];
  const unsigned count = w + static_cast<unsigned>(data.size()) + 1;
  unsigned sum = count;
  std::string s = "S" + std::to_string(type) + Hex2(count);
  for (unsigned i = w; i-- > 0;) {
    s += Hex2(addr >> (8 * i));
    sum += (addr >> (8 * i)) & 0xFF;
  }
  for (unsigned b : data) {
    s += Hex2(b);
    sum += b;
  }
  return s + Hex2(~sum) + "\n";
}

using Loader = int32_t (*)(const char*, uint8_t*, uint32_t*, uint32_t*, std::size_t, RhbError*);

// A record file for one loader.
struct FileCase {
  const char* name;
  Loader load;
  std::string content;
};

std::string Repeat(const std::string& line, std::size_t n) {
  std::string out;
  out.reserve(line.size() * n);
  for (std::size_t i = 0; i < n; ++i) out += line;
  return out;
}

class CompanionFiles : public ::testing::Test {
 protected:
  std::string Write(const std::string& name, const std::string& content) {
    const std::string path = QDir(dir_.path()).filePath(QString::fromStdString(name)).toStdString();
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }
  std::string Path(const std::string& name) const {
    return QDir(dir_.path()).filePath(QString::fromStdString(name)).toStdString();
  }
  // Writes content to a file and loads it into image.
  int32_t LoadText(Loader load, const std::string& content, GuardedBuffer& image, uint32_t& start,
                   uint32_t& end, RhbError& err) {
    const std::string path = Write("load.txt", content);
    return load(path.c_str(), image.data(), &start, &end, image.capacity(), &err);
  }
  std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  QTemporaryDir dir_;
};

struct Placed {
  uint32_t addr;
  std::vector<uint8_t> bytes;
};

struct GoodCase {
  const char* name;
  Loader load;
  std::string content;
  std::vector<Placed> expect;
  uint32_t start, end;
};

}  // namespace

TEST(CompanionChecksums, KnownVectorsAndRanges) {
  const uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(GetBinaryCheckSum(abc, 0, 2, 3), 0x0126);
  EXPECT_EQ(GetTolvexCheckSum(abc, 0, 2, 3), 0x2543);
  // Sub-range and single byte.
  EXPECT_EQ(GetBinaryCheckSum(abc, 1, 2, 3), 'b' + 'c');
  EXPECT_EQ(GetTolvexCheckSum(abc, 0, 0, 3), 'a');
  // Empty and out-of-buffer ranges give 0 (InfoMemSize 0 passes Last 0xFFFFFFFF).
  for (auto [first, last] : {std::pair{2u, 1u}, {0u, 3u}, {0u, 0xFFFFFFFFu}}) {
    EXPECT_EQ(GetBinaryCheckSum(abc, first, last, 3), 0) << first << ".." << last;
    EXPECT_EQ(GetTolvexCheckSum(abc, first, last, 3), 0) << first << ".." << last;
  }
  // The sum keeps only 16 bits: 0x300 bytes of 0xFF sum to 0x2FD00.
  std::vector<uint8_t> ff(0x300, 0xFF);
  EXPECT_EQ(GetBinaryCheckSum(ff.data(), 0, 0x2FF, ff.size()), 0xFD00);
  const int32_t crc = GetTolvexCheckSum(ff.data(), 0, 0x2FF, ff.size());
  EXPECT_GE(crc, 0);
  EXPECT_LE(crc, 0xFFFF);
}

// A patched range's check values equal those computed over the range with the
// bytes replaced, wherever the bytes lie: at either end, across the end (only
// the bytes inside count), on a 2 MB range and on a single byte.
TEST(CompanionChecksums, PatchEqualsRecomputing) {
  std::vector<uint8_t> image(0x200000 + 64);
  uint32_t x = 7;
  for (auto& b : image) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
  const uint8_t serial[8] = {0x44, 0x33, 0x22, 0x11, 0x88, 0x77, 0x66, 0x55};
  const struct {
    uint32_t first, last, addr, count;
  } cases[] = {
      {0, 0x1FFFFF, 0x7000, 4},   {0, 0x1FFFFF, 0, 8},          {0, 0x1FFFFF, 0x1FFFF8, 8},
      {0, 0x1FFFFF, 0x1FFFFE, 8}, {0xC000, 0xFFFFF, 0xBFFE, 4}, {0x10, 0x10, 0x10, 1},
      {0x100, 0x1FF, 0x10C, 8},   {0, 0x1FFFFF, 0x300000, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.addr);
    const int32_t sum = GetBinaryCheckSum(image.data(), c.first, c.last, image.size());
    const int32_t crc = GetTolvexCheckSum(image.data(), c.first, c.last, image.size());
    std::vector<uint8_t> patched = image;
    for (uint32_t k = 0; k < c.count; ++k) {
      const uint64_t a = uint64_t{c.addr} + k;
      if (a >= c.first && a <= c.last) patched[a] = serial[k];
    }
    EXPECT_EQ(PatchBinaryCheckSum(sum, image.data(), c.first, c.last, c.addr, serial, c.count,
                                  image.size()),
              GetBinaryCheckSum(patched.data(), c.first, c.last, patched.size()));
    EXPECT_EQ(PatchTolvexCheckSum(crc, image.data(), c.first, c.last, c.addr, serial, c.count,
                                  image.size()),
              GetTolvexCheckSum(patched.data(), c.first, c.last, patched.size()));
  }
}

TEST(CompanionPreset, FillsRowsWithinCapacity) {
  GuardedBuffer image(0x300000);
  std::fill(image.data(), image.data() + image.capacity(), 0x00);
  EXPECT_EQ(InitialDataBuffer16M(image.data(), 0xFFFF, 0xFF, image.capacity()), RhbOk);
  EXPECT_EQ(image[0xFFFFF], 0xFF);
  EXPECT_EQ(image[0x100000], 0x00);
  EXPECT_EQ(InitialDataBuffer16M(image.data(), 0x2FFFF, 0xFF, image.capacity()), RhbOk);
  EXPECT_EQ(image.CountNotFF(), 0u);
  EXPECT_TRUE(image.GuardsIntact());

  GuardedBuffer small(0x1000);
  EXPECT_EQ(InitialDataBuffer16M(small.data(), 0xFFFFFFFF, 0x00, small.capacity()), RhbBeyondImage);
  EXPECT_EQ(small.CountNotFF(), small.capacity());
  EXPECT_TRUE(small.GuardsIntact());
}

TEST_F(CompanionFiles, GoodRecordFilesPlaceEveryByte) {
  const std::vector<GoodCase> cases = {
      {"hex type 00 with EOF",
       ExeOpenFile_HEX_RoutAndRT,
       IHex(0, 0x0100, {1, 2, 3, 4}) + IHex(0, 0x0010, {0xAA}) + IHex(1, 0, {}),
       {{0x0100, {1, 2, 3, 4}}, {0x0010, {0xAA}}},
       0x0010,
       0x0103},
      {"hex 04 extended linear",
       ExeOpenFile_HEX_RoutAndRT,
       IHex(4, 0, {0x00, 0x02}) + IHex(0, 0x1230, {9, 8}) + IHex(1, 0, {}),
       {{0x21230, {9, 8}}},
       0x21230,
       0x21231},
      {"hex 02 extended segment",
       ExeOpenFile_HEX_RoutAndRT,
       IHex(2, 0, {0x10, 0x00}) + IHex(0, 0x0004, {7}) + IHex(1, 0, {}),
       {{0x10004, {7}}},
       0x10004,
       0x10004},
      {"hex 03 and 05 ignored, zero-length data",
       ExeOpenFile_HEX_RoutAndRT,
       IHex(3, 0, {0, 0, 0x12, 0x34}) + IHex(5, 0, {0, 0, 0x80, 0x01}) + IHex(0, 0x40, {}) +
           IHex(0, 0x20, {5}) + IHex(1, 0, {}),
       {{0x20, {5}}},
       0x20,
       0x20},
      {"hex record runs on across 64 KB",
       ExeOpenFile_HEX_RoutAndRT,
       IHex(4, 0, {0, 1}) + IHex(0, 0xFFFE, {1, 2, 3, 4}),
       {{0x1FFFE, {1, 2, 3, 4}}},
       0x1FFFE,
       0x20001},
      {"hex stops at EOF record",
       ExeOpenFile_HEX_RoutAndRT,
       IHex(0, 0, {0x11}) + IHex(1, 0, {}) + "garbage\n" + IHex(0, 0x10, {0x22}),
       {{0, {0x11}}, {0x10, {0xFF}}},
       0,
       0},
      {"hex without EOF, CRLF, blanks, lower case",
       ExeOpenFile_HEX_RoutAndRT,
       "\r\n  :0200300001ab22  \r\n\n\t\r\n",
       {{0x30, {0x01, 0xAB}}},
       0x30,
       0x31},
      {"s19 with header, count and S9",
       ExeOpenFile_S19_RoutAndRT,
       SRec(0, 0, {'h', 'd', 'r'}) + SRec(1, 0x1000, {1, 2, 3}) + SRec(5, 1, {}) + SRec(9, 0, {}) +
           SRec(1, 0x2000, {9}),
       {{0x1000, {1, 2, 3}}, {0x2000, {0xFF}}},
       0x1000,
       0x1002},
      {"s28 24-bit addresses",
       ExeOpenFile_S19_RoutAndRT,
       SRec(2, 0x123456, {0xDE, 0xAD}) + SRec(8, 0, {}),
       {{0x123456, {0xDE, 0xAD}}},
       0x123456,
       0x123457},
      {"s37 32-bit addresses, no terminator",
       ExeOpenFile_S19_RoutAndRT,
       SRec(3, 0x00200010, {0x55}) + SRec(3, 0x0000000F, {0x66}) + SRec(6, 2, {}),
       {{0x200010, {0x55}}, {0x0F, {0x66}}},
       0x0F,
       0x200010},
      {"s19 lower case, CRLF",
       ExeOpenFile_S19_RoutAndRT,
       "S1040010ab40\r\nS9030000fc\r\n",
       {{0x10, {0xAB}}},
       0x10,
       0x10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    GuardedBuffer image(0x300000);
    const std::string path = Write("good.txt", c.content);
    uint32_t start = 0xDEAD, end = 0xBEEF;
    RhbError err;
    err.code = -1;
    ASSERT_EQ(c.load(path.c_str(), image.data(), &start, &end, image.capacity(), &err), RhbOk)
        << err.line << ": " << err.message;
    EXPECT_EQ(err.code, RhbOk);
    EXPECT_EQ(start, c.start);
    EXPECT_EQ(end, c.end);
    std::size_t placed = 0;
    for (const auto& p : c.expect) {
      for (std::size_t i = 0; i < p.bytes.size(); ++i) {
        EXPECT_EQ(image[p.addr + i], p.bytes[i]) << std::hex << p.addr + i;
        placed += p.bytes[i] != 0xFF;
      }
    }
    EXPECT_EQ(image.CountNotFF(), placed) << "bytes stored outside the expected places";
    EXPECT_TRUE(image.GuardsIntact());
  }
}

// A record file that stores no byte is a failed load, not an all-0xFF image.
TEST_F(CompanionFiles, FileWithoutDataFailsAndLeavesCells) {
  EXPECT_STREQ(RhbResultText(RhbNoDataRecords), "no data records");
  const FileCase cases[] = {
      {"hex empty", ExeOpenFile_HEX_RoutAndRT, ""},
      {"hex only EOF", ExeOpenFile_HEX_RoutAndRT, IHex(1, 0, {})},
      {"hex blank lines, address and empty data records", ExeOpenFile_HEX_RoutAndRT,
       "\r\n  \n" + IHex(4, 0, {0, 1}) + IHex(0, 0x10, {}) + IHex(1, 0, {})},
      {"s19 empty", ExeOpenFile_S19_RoutAndRT, ""},
      {"s19 header, count and terminator", ExeOpenFile_S19_RoutAndRT,
       SRec(0, 0, {'h'}) + SRec(5, 0, {}) + SRec(9, 0, {})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    GuardedBuffer image(0x1000);
    uint32_t start = 7, end = 9;
    RhbError err;
    EXPECT_EQ(LoadText(c.load, c.content, image, start, end, err), RhbNoDataRecords);
    EXPECT_EQ(err.code, RhbNoDataRecords);
    EXPECT_EQ(err.line, 0u);
    EXPECT_STREQ(err.message, "no data records");
    EXPECT_EQ(start, 7u);
    EXPECT_EQ(end, 9u);
    EXPECT_EQ(image.CountNotFF(), 0u);
  }
}

// Files that load but look cut short or miscounted carry a warning; complete
// files carry none. A later failure does not keep an earlier warning.
TEST_F(CompanionFiles, IncompleteFilesLoadWithAWarning) {
  const std::string data = SRec(1, 0x10, {1}) + SRec(1, 0x20, {2});
  const struct {
    const char* name;
    Loader load;
    std::string content;
    const char* warning;
  } cases[] = {
      {"hex complete", ExeOpenFile_HEX_RoutAndRT,
       IHex(0, 0x10, {1}) + IHex(0, 0x20, {2}) + IHex(1, 0, {}), ""},
      {"hex cut before its EOF record", ExeOpenFile_HEX_RoutAndRT,
       IHex(0, 0x10, {1}) + IHex(0, 0x20, {2}), "no end-of-file record (type 01)"},
      {"s19 complete with S5", ExeOpenFile_S19_RoutAndRT, data + SRec(5, 2, {}) + SRec(9, 0, {}),
       ""},
      {"s19 S5 count too high", ExeOpenFile_S19_RoutAndRT, data + SRec(5, 3, {}) + SRec(9, 0, {}),
       "S5 record count 3 does not match the 2 data records before it"},
      {"s19 S5 count past 16 bits keeps its low bits", ExeOpenFile_S19_RoutAndRT,
       data + Repeat(SRec(1, 0x30, {}), 0xFFFF) + SRec(5, 1, {}) + SRec(9, 0, {}), ""},
      {"s28 S6 count too low", ExeOpenFile_S19_RoutAndRT,
       SRec(2, 0x10, {1}) + SRec(2, 0x20, {2}) + SRec(6, 1, {}) + SRec(8, 0, {}),
       "S6 record count 1 does not match the 2 data records before it"},
      {"s19 cut before its terminator", ExeOpenFile_S19_RoutAndRT, data,
       "no S7/S8/S9 termination record"},
      {"s19 miscounted and cut", ExeOpenFile_S19_RoutAndRT, data + SRec(5, 7, {}),
       "S5 record count 7 does not match the 2 data records before it; "
       "no S7/S8/S9 termination record"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    GuardedBuffer image(0x1000);
    uint32_t start = 0, end = 0;
    RhbError err;
    ASSERT_EQ(LoadText(c.load, c.content, image, start, end, err), RhbOk) << err.message;
    EXPECT_STREQ(err.warning, c.warning);
    EXPECT_EQ(image[0x10], 1);
    EXPECT_EQ(end, 0x20u);
    EXPECT_NE(LoadText(c.load, "#\n" + c.content, image, start, end, err), RhbOk);
    EXPECT_STREQ(err.warning, "");
  }
}

// A UTF-8 byte-order mark opens many edited record files; in a raw binary
// file the same bytes are data.
TEST_F(CompanionFiles, ByteOrderMark) {
  const std::string bom = "\xEF\xBB\xBF";
  const FileCase cases[] = {
      {"hex", ExeOpenFile_HEX_RoutAndRT, bom + IHex(0, 0x10, {0x42}) + IHex(1, 0, {})},
      {"hex, blanks after the mark", ExeOpenFile_HEX_RoutAndRT,
       bom + "  \r\n" + IHex(0, 0x10, {0x42}) + IHex(1, 0, {})},
      {"s19", ExeOpenFile_S19_RoutAndRT, bom + SRec(1, 0x10, {0x42}) + SRec(9, 0, {})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    GuardedBuffer image(0x1000);
    uint32_t start = 0, end = 0;
    RhbError err;
    ASSERT_EQ(LoadText(c.load, c.content, image, start, end, err), RhbOk)
        << err.line << ": " << err.message;
    EXPECT_EQ(image[0x10], 0x42);
    EXPECT_EQ(image.CountNotFF(), 1u);
  }
  // Only at the start of the file.
  GuardedBuffer image(0x1000);
  uint32_t start = 0, end = 0;
  RhbError err;
  EXPECT_EQ(LoadText(ExeOpenFile_HEX_RoutAndRT, IHex(0, 0x10, {0x42}) + bom + IHex(1, 0, {}), image,
                     start, end, err),
            RhbMalformedLine);
  EXPECT_EQ(err.line, 2u);

  const std::string raw = Write("bom.bin", bom + "AB");
  ASSERT_EQ(DoOpenFile_BIN_Routine(raw.c_str(), image.data(), &end, image.capacity(), &err), RhbOk);
  EXPECT_EQ(end, 4u);
  EXPECT_EQ(image[0], 0xEF);
  EXPECT_EQ(image[3], 'A');
}

struct BadCase {
  const char* name;
  Loader load;
  std::string badLine;  // follows one good record at 0x0010 on line 1
  int32_t code;
};

// Every bad file starts with a good record (line 1) that must stay stored,
// and the bad line 2 must store nothing; the small buffer is guarded.
TEST_F(CompanionFiles, MalformedFilesStopAtTheBadLine) {
  const std::string goodHex = IHex(0, 0x0010, {0x42});
  const std::string goodS19 = SRec(1, 0x0010, {0x42});
  const std::vector<BadCase> cases = {
      {"hex bad start char", ExeOpenFile_HEX_RoutAndRT, ";0100200011CE\n", RhbMalformedLine},
      {"hex odd digits", ExeOpenFile_HEX_RoutAndRT, ":0100200011CE0\n", RhbMalformedLine},
      {"hex non-hex digit", ExeOpenFile_HEX_RoutAndRT, ":01002000G1CE\n", RhbMalformedLine},
      {"hex length field too big", ExeOpenFile_HEX_RoutAndRT, ":0200200011CD\n", RhbMalformedLine},
      {"hex length field too small", ExeOpenFile_HEX_RoutAndRT, ":010020001122AC\n",
       RhbMalformedLine},
      {"hex record too short", ExeOpenFile_HEX_RoutAndRT, ":000000\n", RhbMalformedLine},
      {"hex bad checksum", ExeOpenFile_HEX_RoutAndRT, ":0100200011CF\n", RhbBadChecksum},
      {"hex unsupported type 06", ExeOpenFile_HEX_RoutAndRT, IHex(6, 0, {1}), RhbUnsupportedRecord},
      {"hex 04 with three bytes", ExeOpenFile_HEX_RoutAndRT, IHex(4, 0, {0, 0, 1}),
       RhbMalformedLine},
      {"hex 05 with two bytes", ExeOpenFile_HEX_RoutAndRT, IHex(5, 0, {0, 1}), RhbMalformedLine},
      {"hex record straddles the end", ExeOpenFile_HEX_RoutAndRT,
       IHex(0, 0x0FFC, {1, 2, 3, 4, 5, 6, 7, 8}), RhbBeyondImage},
      {"hex record past the end", ExeOpenFile_HEX_RoutAndRT, IHex(0, 0x1000, {1}), RhbBeyondImage},
      {"hex line too long", ExeOpenFile_HEX_RoutAndRT, ":" + std::string(2000, '0') + "\n",
       RhbMalformedLine},
      {"hex control character", ExeOpenFile_HEX_RoutAndRT,
       std::string(":01\0"
                   "02000FF",
                   10) +
           "\n",
       RhbMalformedLine},
      {"s19 bad start char", ExeOpenFile_S19_RoutAndRT, "T1040020117A\n", RhbMalformedLine},
      {"s19 bad type char", ExeOpenFile_S19_RoutAndRT, "SX040020117A\n", RhbMalformedLine},
      {"s19 odd digits", ExeOpenFile_S19_RoutAndRT, "S1040020117A0\n", RhbMalformedLine},
      {"s19 non-hex digit", ExeOpenFile_S19_RoutAndRT, "S10400201Z7A\n", RhbMalformedLine},
      {"s19 count too big", ExeOpenFile_S19_RoutAndRT, "S1050020117A\n", RhbMalformedLine},
      {"s19 count too small", ExeOpenFile_S19_RoutAndRT, "S103002011227A\n", RhbMalformedLine},
      {"s19 bad checksum", ExeOpenFile_S19_RoutAndRT, "S1040020117B\n", RhbBadChecksum},
      {"s19 S4 unsupported", ExeOpenFile_S19_RoutAndRT, "S4030000FC\n", RhbUnsupportedRecord},
      {"s19 S3 too short for address", ExeOpenFile_S19_RoutAndRT, "S3030000FC\n", RhbMalformedLine},
      {"s19 type only", ExeOpenFile_S19_RoutAndRT, "S1\n", RhbMalformedLine},
      {"s19 record straddles the end", ExeOpenFile_S19_RoutAndRT, SRec(1, 0x0FFF, {1, 2}),
       RhbBeyondImage},
      {"s37 at the top of the address space", ExeOpenFile_S19_RoutAndRT,
       SRec(3, 0xFFFFFFFF, {1, 2}), RhbBeyondImage},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    GuardedBuffer image(0x1000);
    const bool hex = c.load == ExeOpenFile_HEX_RoutAndRT;
    const std::string path =
        Write("bad.txt", (hex ? goodHex : goodS19) + c.badLine + (hex ? goodHex : goodS19));
    uint32_t start = 0, end = 0;
    RhbError err;
    EXPECT_EQ(c.load(path.c_str(), image.data(), &start, &end, image.capacity(), &err), c.code);
    EXPECT_EQ(err.code, c.code);
    EXPECT_EQ(err.line, 2u);
    EXPECT_NE(err.message[0], '\0');
    EXPECT_EQ(image[0x10], 0x42) << "the good line before the fault stays stored";
    EXPECT_EQ(image.CountNotFF(), 1u) << "the bad line stored something";
    EXPECT_EQ(start, 0x10u);
    EXPECT_EQ(end, 0x10u);
    EXPECT_TRUE(image.GuardsIntact());
  }
}

TEST_F(CompanionFiles, ThreeMegabyteImageBoundary) {
  GuardedBuffer image(0x300000);
  const std::string fits =
      Write("fits.hex", IHex(4, 0, {0x00, 0x2F}) + IHex(0, 0xFFFF, {0x5A}) + IHex(1, 0, {}));
  uint32_t start = 0, end = 0;
  EXPECT_EQ(ExeOpenFile_HEX_RoutAndRT(fits.c_str(), image.data(), &start, &end, 0x300000, nullptr),
            RhbOk);
  EXPECT_EQ(image[0x2FFFFF], 0x5A);
  EXPECT_EQ(end, 0x2FFFFFu);

  const std::string past =
      Write("past.hex", IHex(4, 0, {0x00, 0x30}) + IHex(0, 0x0000, {0x5A}) + IHex(1, 0, {}));
  RhbError err;
  EXPECT_EQ(ExeOpenFile_HEX_RoutAndRT(past.c_str(), image.data(), &start, &end, 0x300000, &err),
            RhbBeyondImage);
  EXPECT_EQ(err.line, 2u);
  const std::string s3 = Write("past.s37", SRec(3, 0x300000, {1}));
  EXPECT_EQ(ExeOpenFile_S19_RoutAndRT(s3.c_str(), image.data(), &start, &end, 0x300000, &err),
            RhbBeyondImage);
  EXPECT_EQ(err.line, 1u);
  EXPECT_TRUE(image.GuardsIntact());
}

TEST_F(CompanionFiles, UnreadableFiles) {
  GuardedBuffer image(0x1000);
  const std::string missing = Path("missing.hex");
  const std::string folder = dir_.path().toStdString();  // opens, but cannot be read
  uint32_t cell = 0x1234;
  for (Loader load : {ExeOpenFile_HEX_RoutAndRT, ExeOpenFile_S19_RoutAndRT}) {
    RhbError err;
    EXPECT_EQ(load(missing.c_str(), image.data(), &cell, &cell, 0x1000, &err), RhbCannotOpen);
    EXPECT_EQ(err.code, RhbCannotOpen);
    EXPECT_EQ(err.line, 0u);
    EXPECT_EQ(load(folder.c_str(), image.data(), &cell, &cell, 0x1000, &err), RhbReadError);
    EXPECT_EQ(err.line, 0u);
    EXPECT_STREQ(err.message, "it is a folder, not a file");
  }
  RhbError err;
  EXPECT_EQ(DoOpenFile_BIN_Routine(missing.c_str(), image.data(), &cell, 0x1000, &err),
            RhbCannotOpen);
  EXPECT_EQ(DoOpenFile_BIN_Routine(folder.c_str(), image.data(), &cell, 0x1000, &err),
            RhbReadError);
  EXPECT_STREQ(err.message, "it is a folder, not a file");
  EXPECT_EQ(cell, 0x1234u);
  EXPECT_EQ(image.CountNotFF(), 0u);

  // Saving onto a folder is refused before anything is created beside it.
  ASSERT_TRUE(QDir(dir_.path()).mkdir("sub"));
  const std::string sub = Path("sub");
  EXPECT_EQ(DoSaveToBinaryFile(sub.c_str(), image.data(), 0, 0xF, 0x1000, &err), RhbCannotOpen);
  EXPECT_STREQ(err.message, "it is a folder, not a file");
  EXPECT_EQ(QDir(dir_.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
            QStringList{"sub"});
}

TEST_F(CompanionFiles, RawBinaryLoad) {
  struct Case {
    const char* name;
    std::size_t fileSize;
    int32_t code;
    std::size_t copied;
  };
  const Case cases[] = {
      {"shorter than the room", 0x123, RhbOk, 0x123},
      {"exactly the room", 0x1000, RhbOk, 0x1000},
      {"one byte too long", 0x1001, RhbBeyondImage, 0x1000},
      {"empty file", 0, RhbOk, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string content(c.fileSize, '\0');
    for (std::size_t i = 0; i < c.fileSize; ++i) content[i] = static_cast<char>(i * 7 + 1);
    const std::string path = Write("raw.bin", content);
    GuardedBuffer image(0x1000);
    uint32_t end = 0xCAFE;
    RhbError err;
    EXPECT_EQ(DoOpenFile_BIN_Routine(path.c_str(), image.data(), &end, image.capacity(), &err),
              c.code);
    EXPECT_EQ(err.code, c.code);
    EXPECT_EQ(end, c.copied ? c.copied - 1 : 0xCAFEu);
    for (std::size_t i = 0; i < c.copied; ++i)
      ASSERT_EQ(image[i], static_cast<uint8_t>(content[i])) << i;
    for (std::size_t i = c.copied; i < image.capacity(); ++i) ASSERT_EQ(image[i], 0xFF) << i;
    EXPECT_TRUE(image.GuardsIntact());
  }
}

TEST_F(CompanionFiles, SaveRoundTripAndRefusals) {
  std::vector<uint8_t> image(0x100);
  for (std::size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i ^ 0x5C);
  const std::string path = Write("out.bin", std::string(0x400, 'x'));  // replaced, not patched

  RhbError err;
  ASSERT_EQ(DoSaveToBinaryFile(path.c_str(), image.data(), 0x10, 0x2F, image.size(), &err), RhbOk)
      << err.message;
  EXPECT_EQ(ReadAll(path), std::string(image.begin() + 0x10, image.begin() + 0x30));
  // Whole buffer, single byte.
  ASSERT_EQ(DoSaveToBinaryFile(path.c_str(), image.data(), 0, 0xFF, image.size(), &err), RhbOk);
  std::vector<uint8_t> back(0x100, 0);
  uint32_t end = 0;
  ASSERT_EQ(DoOpenFile_BIN_Routine(path.c_str(), back.data(), &end, back.size(), &err), RhbOk);
  EXPECT_EQ(back, image);
  EXPECT_EQ(end, 0xFFu);
  ASSERT_EQ(DoSaveToBinaryFile(path.c_str(), image.data(), 0xFF, 0xFF, image.size(), &err), RhbOk);
  EXPECT_EQ(ReadAll(path), std::string(1, static_cast<char>(image[0xFF])));

  // Refused ranges leave the existing file as it is.
  EXPECT_EQ(DoSaveToBinaryFile(path.c_str(), image.data(), 5, 4, image.size(), &err),
            RhbEmptyRange);
  EXPECT_EQ(DoSaveToBinaryFile(path.c_str(), image.data(), 0, 0xFFFFFFFF, image.size(), &err),
            RhbBeyondImage);
  EXPECT_EQ(DoSaveToBinaryFile(path.c_str(), image.data(), 0, 0x100, image.size(), &err),
            RhbBeyondImage);
  EXPECT_EQ(ReadAll(path).size(), 1u);

  const std::string unwritable = Path("no-such-folder/out.bin");
  EXPECT_EQ(DoSaveToBinaryFile(unwritable.c_str(), image.data(), 0, 0xF, image.size(), &err),
            RhbCannotOpen);
  EXPECT_EQ(err.code, RhbCannotOpen);
  // No temporary files left behind.
  EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files).size(), 1);
}

// Two links naming each other name no file: refused, nothing written.
TEST_F(CompanionFiles, SaveThroughALinkLoopIsRefused) {
  const std::string a = Path("a"), b = Path("b");
  ASSERT_EQ(::symlink("b", a.c_str()), 0);
  ASSERT_EQ(::symlink("a", b.c_str()), 0);
  const uint8_t data[4] = {1, 2, 3, 4};
  RhbError err;
  EXPECT_EQ(DoSaveToBinaryFile(a.c_str(), data, 0, 3, sizeof data, &err), RhbCannotOpen);
  EXPECT_NE(std::string(err.message).find("symbolic links"), std::string::npos) << err.message;
  EXPECT_EQ(QDir(dir_.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot),
            (QStringList{"a", "b"}));
}
