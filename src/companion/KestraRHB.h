// KestraRHB: the console's image-file and checksum library.
//
// Seven operations: preset a buffer, load an Intel HEX, a Motorola S-record or
// a raw binary file into a buffer, save a buffer range as a raw binary file,
// and the two 16-bit checksums of a buffer range. Plain C++, no Qt.
//
// Common rules
// - FileName is the zero-terminated 8-bit text of the full path.
// - Buffer is the first byte the operation may touch; Capacity is the number of
//   bytes from Buffer on that it may touch (ImageBuffer's 3 MB, what remains of
//   it after a raw offset, or InfoBuffer's 32 KB). Nothing outside
//   Buffer[0 .. Capacity-1] is ever read or written, whatever a file holds.
// - First and Last are byte indexes into Buffer, both inclusive.
// - A "cell" is the address of a uint32_t that the operation fills; every cell
//   pointer may be null, and a cell is written only when at least one byte was
//   stored (an empty file or a file without data records leaves it unchanged).
// - Every operation returns an int32 result: 0 (RhbOk) on success, else one of
//   the RhbXxx codes below. The load and save operations also fill *Error when
//   it is not null: the code, the 1-based line number of the file (0 when the
//   fault is not tied to a line) and a one-line message. On success Error is
//   cleared (code 0, line 0, empty message) and its warning holds a one-line
//   note on a file that loaded but looks incomplete (empty when there is none);
//   a failure leaves the warning empty.
// - A folder given as FileName fails with the message "it is a folder, not a
//   file" (RhbReadError for the loads, RhbCannotOpen for the save).
//
// Loads are not transactional: on an error the load stops at the bad line (or
// record); the bytes of earlier good records stay stored, the bad record itself
// stores nothing, and the cells describe the bytes stored so far.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kestra::rhb {

// Result codes.
inline constexpr int32_t RhbOk = 0;
inline constexpr int32_t RhbCannotOpen = 1;     // file cannot be opened or created
inline constexpr int32_t RhbReadError = 2;      // reading the file failed
inline constexpr int32_t RhbMalformedLine = 3;  // bad start char, odd/non-hex digits, bad length
inline constexpr int32_t RhbBadChecksum = 4;    // record checksum does not match
inline constexpr int32_t RhbBeyondImage = 5;    // data (or a range) past the buffer capacity
inline constexpr int32_t RhbUnsupportedRecord = 6;  // record type this library does not know
inline constexpr int32_t RhbWriteFailed = 7;        // writing the output file failed
inline constexpr int32_t RhbEmptyRange = 8;         // Last < First
inline constexpr int32_t RhbBadArgument = 9;        // null file name or buffer
inline constexpr int32_t RhbNoDataRecords = 10;     // a record file without any data byte

struct RhbError {
  int32_t code = RhbOk;
  uint32_t line = 0;  // 1-based line of the file; 0 when not line-related
  char message[160] = {};
  char warning[160] = {};  // on success: what the file lacks, e.g. its end record
};

// Short English name of a result code ("bad record checksum", ...).
const char* RhbResultText(int32_t code);

// Fills (Extent + 1) rows of 16 bytes, i.e. Buffer[0 .. (Extent+1)*16 - 1],
// with Fill, stopping at Capacity. Extent 0x2FFFF covers a 3 MB image; 0xFFFF
// covers its first 1 MB. Returns RhbOk, or RhbBeyondImage when the rows asked
// for did not all fit (the part that fits is filled).
int32_t InitialDataBuffer16M(uint8_t* Buffer, uint32_t Extent, uint8_t Fill, std::size_t Capacity);

// Intel HEX. Record types: 00 data, 01 end of file (reading stops there),
// 02 extended segment address (base = value * 16), 03 start segment address
// (accepted, ignored), 04 extended linear address (base = value << 16),
// 05 start linear address (accepted, ignored). Each data byte is stored at
// Buffer + base + record offset + i (addresses run on linearly across a 64 KB
// boundary inside one record). A record that does not fit in Capacity stores
// nothing and ends the load with RhbBeyondImage. StartAddr and EndAddr receive
// the lowest and highest address written. Blank lines, leading/trailing
// blanks, CR/LF line ends and a UTF-8 byte-order mark at the start of the file
// are tolerated; hex digits may be upper or lower case. A file that stores no
// data byte (empty, or only an end record) is RhbNoDataRecords. A file without
// an end record is accepted (RhbOk: such files are common) with a warning, as
// it may be a copy cut off at a line boundary.
int32_t ExeOpenFile_HEX_RoutAndRT(const char* FileName, uint8_t* Buffer, uint32_t* StartAddr,
                                  uint32_t* EndAddr, std::size_t Capacity,
                                  RhbError* Error = nullptr);

// Motorola S-records. S0 header (ignored), S1/S2/S3 data with a 16/24/32-bit
// address, S5/S6 record counts, S7/S8/S9 terminators (reading stops there);
// S4 is RhbUnsupportedRecord. Every record's checksum (ones' complement of the
// sum of count, address and data bytes) is checked. Bounds, cells, tolerated
// blanks, a file without data and a missing terminator (with its warning) as
// for Intel HEX. An S5/S6 count that differs from the number of S1/S2/S3
// records before it still loads, with a warning naming both counts.
int32_t ExeOpenFile_S19_RoutAndRT(const char* FileName, uint8_t* Buffer, uint32_t* StartAddr,
                                  uint32_t* EndAddr, std::size_t Capacity,
                                  RhbError* Error = nullptr);

// Raw binary: the file's bytes are copied unchanged to Buffer onward. A file
// longer than Capacity copies the first Capacity bytes and returns
// RhbBeyondImage. EndAddr receives (bytes copied) - 1, an index relative to
// the Buffer passed: the console adds its raw offset when it logs the end
// address. An empty file copies nothing, returns RhbOk and leaves EndAddr:
// whether a file without bytes is an image is the caller's to decide (the
// console refuses one before it presets the image or asks for the offset).
// A byte-order mark is data here and is copied like every other byte.
int32_t DoOpenFile_BIN_Routine(const char* FileName, uint8_t* Buffer, uint32_t* EndAddr,
                               std::size_t Capacity, RhbError* Error = nullptr);

// Creates or replaces FileName so that it holds exactly Buffer[First..Last].
// The file is written beside the target and renamed over it once complete, so
// a failed save never leaves a half-written file in place of the old one.
// A symbolic link is followed to the file it finally names, which is replaced
// keeping its permissions (a link to nothing creates the file it names); the
// link stays. A path that names something other than a regular file (a
// device, FIFO or socket) is refused with RhbCannotOpen, writing nothing.
// Last < First: RhbEmptyRange; Last >= Capacity: RhbBeyondImage; in both cases
// no file is touched.
int32_t DoSaveToBinaryFile(const char* FileName, const uint8_t* Buffer, uint32_t First,
                           uint32_t Last, std::size_t Capacity, RhbError* Error = nullptr);

// 16-bit byte sum of Buffer[First..Last] (carry dropped) in the low 16 bits.
// Last < First, or Last >= Capacity (e.g. InfoMemSize 0 passes Last
// 0xFFFFFFFF), gives 0.
int32_t GetBinaryCheckSum(const uint8_t* Buffer, uint32_t First, uint32_t Last,
                          std::size_t Capacity);

// The device's 16-bit check value of Buffer[First..Last] in the low 16 bits:
// from c = 0, for each byte b: c = (c >> 1) ^ b ^ (0x4A12 if the old c was
// odd). The same value the link puts behind each packet. Range rule as for
// GetBinaryCheckSum.
int32_t GetTolvexCheckSum(const uint8_t* Buffer, uint32_t First, uint32_t Last,
                          std::size_t Capacity);

// The two check values of Buffer[First..Last] as they would be with the Count
// bytes from Addr on replaced by Bytes, from the values Sum and Crc of the range
// as it stands, without reading the rest of the range: the cost depends on
// Count, not on the range. Bytes that would fall outside the range change
// nothing. Range rule as for GetBinaryCheckSum (an empty or too large range
// gives 0).
int32_t PatchBinaryCheckSum(int32_t Sum, const uint8_t* Buffer, uint32_t First, uint32_t Last,
                            uint32_t Addr, const uint8_t* Bytes, uint32_t Count,
                            std::size_t Capacity);
int32_t PatchTolvexCheckSum(int32_t Crc, const uint8_t* Buffer, uint32_t First, uint32_t Last,
                            uint32_t Addr, const uint8_t* Bytes, uint32_t Count,
                            std::size_t Capacity);

}  // namespace kestra::rhb
