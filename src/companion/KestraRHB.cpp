// Buffer preset, raw binary load and save, and the two checksums.
#include "companion/KestraRHB.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "companion/RhbInternal.h"

namespace kestra::rhb {

using detail::Fail;

const char* RhbResultText(int32_t code) {
  switch (code) {
    case RhbOk:
      return "ok";
    case RhbCannotOpen:
      return "cannot open file";
    case RhbReadError:
      return "read error";
    case RhbMalformedLine:
      return "malformed line";
    case RhbBadChecksum:
      return "bad record checksum";
    case RhbBeyondImage:
      return "beyond the image";
    case RhbUnsupportedRecord:
      return "unsupported record type";
    case RhbWriteFailed:
      return "write failed";
    case RhbEmptyRange:
      return "empty range";
    case RhbBadArgument:
      return "bad argument";
    case RhbNoDataRecords:
      return "no data records";
    default:
      return "unknown result";
  }
}

int32_t InitialDataBuffer16M(uint8_t* Buffer, uint32_t Extent, uint8_t Fill, std::size_t Capacity) {
  if (!Buffer) return RhbBadArgument;
  const uint64_t wanted = (static_cast<uint64_t>(Extent) + 1) * 16;
  const std::size_t n = wanted < Capacity ? static_cast<std::size_t>(wanted) : Capacity;
  std::memset(Buffer, Fill, n);
  return wanted <= Capacity ? RhbOk : RhbBeyondImage;
}

int32_t DoOpenFile_BIN_Routine(const char* FileName, uint8_t* Buffer, uint32_t* EndAddr,
                               std::size_t Capacity, RhbError* Error) {
  if (!FileName || !Buffer) return Fail(Error, RhbBadArgument, 0, "no file name or no buffer");
  detail::FilePtr file;
  if (const int32_t rc = detail::OpenForReading(FileName, file, Error); rc != RhbOk) return rc;
  const std::size_t copied = std::fread(Buffer, 1, Capacity, file.get());
  int32_t rc = RhbOk;
  if (std::ferror(file.get())) {
    rc = Fail(Error, RhbReadError, 0, "read error after %zu bytes", copied);
  } else if (copied == Capacity && std::fgetc(file.get()) != EOF) {
    rc = Fail(Error, RhbBeyondImage, 0,
              "file longer than the room left in the image (0x%zX bytes); the first 0x%zX bytes "
              "were loaded",
              Capacity, copied);
  }
  if (copied > 0 && EndAddr) *EndAddr = static_cast<uint32_t>(copied - 1);
  return rc == RhbOk ? detail::Succeed(Error) : rc;
}

namespace {

// Closes a descriptor and removes the temporary file unless released.
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!kept_) ::unlink(path_.c_str());
  }
  bool Create() {
    fd_ = ::mkstemp(path_.data());
    return fd_ >= 0;
  }
  int Fd() const { return fd_; }
  const char* Path() const { return path_.c_str(); }
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  int fd_ = -1;
  bool kept_ = false;
};

bool WriteAll(int fd, const uint8_t* data, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, data, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// Symbolic links followed to the file they finally name, each relative
// target taken from its link's folder; false past 40 links (a loop).
bool FinalTarget(const char* name, std::string& path) {
  path = name;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return true;
    std::string target(static_cast<std::size_t>(st.st_size > 0 ? st.st_size : 0) + 256, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n <= 0) return true;  // gone meanwhile: the path as it stands
    target.resize(static_cast<std::size_t>(n));
    const std::size_t slash = path.rfind('/');
    path = target.front() == '/' || slash == std::string::npos ? target
                                                               : path.substr(0, slash + 1) + target;
  }
  return false;
}

}  // namespace

int32_t DoSaveToBinaryFile(const char* FileName, const uint8_t* Buffer, uint32_t First,
                           uint32_t Last, std::size_t Capacity, RhbError* Error) {
  if (!FileName || !Buffer || !*FileName)
    return Fail(Error, RhbBadArgument, 0, "no file name or no buffer");
  if (Last < First) return Fail(Error, RhbEmptyRange, 0, "empty range 0x%08X..0x%08X", First, Last);
  if (Last >= Capacity) {
    return Fail(Error, RhbBeyondImage, 0, "range 0x%08X..0x%08X lies beyond the buffer (0x%zX)",
                First, Last, Capacity);
  }
  // A symbolic link is saved through: the file it finally names is replaced
  // (or, for a link to nothing, created there), never the link itself.
  std::string target;
  if (!FinalTarget(FileName, target))
    return Fail(Error, RhbCannotOpen, 0, "too many symbolic links, nothing was written");
  // Keep the permissions of a file being replaced; a new file gets rw-r--r--.
  struct stat old {};
  const bool exists = ::stat(target.c_str(), &old) == 0;
  if (exists && S_ISDIR(old.st_mode))
    return Fail(Error, RhbCannotOpen, 0, "%s", detail::FolderMessage);
  if (exists && !S_ISREG(old.st_mode)) {
    return Fail(Error, RhbCannotOpen, 0,
                "it is not a regular file (a device, FIFO or socket), nothing was written");
  }
  TempFile temp(target + ".XXXXXX");
  if (!temp.Create())
    return Fail(Error, RhbCannotOpen, 0, "cannot create the file: %s", std::strerror(errno));
  const mode_t mode = exists ? (old.st_mode & 07777) : 0644;
  ::fchmod(temp.Fd(), mode);
  const std::size_t n = static_cast<std::size_t>(Last - First) + 1;
  if (!WriteAll(temp.Fd(), Buffer + First, n) || ::fsync(temp.Fd()) != 0 || !temp.Close())
    return Fail(Error, RhbWriteFailed, 0, "writing the file failed: %s", std::strerror(errno));
  if (::rename(temp.Path(), target.c_str()) != 0)
    return Fail(Error, RhbWriteFailed, 0, "replacing the file failed: %s", std::strerror(errno));
  temp.Keep();
  return detail::Succeed(Error);
}

namespace {

bool InRange(uint32_t first, uint32_t last, std::size_t capacity) {
  return first <= last && last < capacity;
}

}  // namespace

int32_t GetBinaryCheckSum(const uint8_t* Buffer, uint32_t First, uint32_t Last,
                          std::size_t Capacity) {
  if (!Buffer || !InRange(First, Last, Capacity)) return 0;
  uint32_t sum = 0;
  for (uint64_t i = First; i <= Last; ++i) sum += Buffer[i];
  return static_cast<int32_t>(sum & 0xFFFF);
}

namespace {

// One step of the check value: the part that does not depend on the byte.
uint16_t TolvexStep(uint16_t c) { return static_cast<uint16_t>((c >> 1) ^ (c & 1 ? 0x4A12 : 0)); }

// A linear map of 16-bit values over GF(2), held as the images of the 16 unit
// values. The step above is one; a byte's share of the check value is that
// byte carried through one step per byte that follows it.
struct BitMatrix {
  uint16_t col[16];
  uint16_t Apply(uint16_t v) const {
    uint16_t r = 0;
    for (int i = 0; v != 0; ++i, v = static_cast<uint16_t>(v >> 1))
      if (v & 1) r ^= col[i];
    return r;
  }
  BitMatrix Then(const BitMatrix& next) const {  // next after this
    BitMatrix m;
    for (int i = 0; i < 16; ++i) m.col[i] = next.Apply(col[i]);
    return m;
  }
};

// v carried through n steps, by squaring: at most 32 squarings for any n.
uint16_t TolvexSteps(uint16_t v, uint32_t n) {
  BitMatrix power;
  for (int i = 0; i < 16; ++i) power.col[i] = TolvexStep(static_cast<uint16_t>(1u << i));
  for (; n != 0; n >>= 1) {
    if (n & 1) v = power.Apply(v);
    power = power.Then(power);
  }
  return v;
}

// The patch bytes that fall inside [First..Last]: [from, to) of the Count
// bytes from Addr.
bool PatchInside(uint32_t First, uint32_t Last, uint32_t Addr, uint32_t Count, uint32_t& from,
                 uint32_t& to) {
  const uint64_t a = Addr, end = a + Count;
  const uint64_t lo = std::max<uint64_t>(a, First),
                 hi = std::min<uint64_t>(end, uint64_t{Last} + 1);
  if (lo >= hi) return false;
  from = static_cast<uint32_t>(lo - a);
  to = static_cast<uint32_t>(hi - a);
  return true;
}

}  // namespace

int32_t GetTolvexCheckSum(const uint8_t* Buffer, uint32_t First, uint32_t Last,
                          std::size_t Capacity) {
  if (!Buffer || !InRange(First, Last, Capacity)) return 0;
  uint16_t c = 0;
  for (uint64_t i = First; i <= Last; ++i) c = static_cast<uint16_t>(TolvexStep(c) ^ Buffer[i]);
  return c;
}

int32_t PatchBinaryCheckSum(int32_t Sum, const uint8_t* Buffer, uint32_t First, uint32_t Last,
                            uint32_t Addr, const uint8_t* Bytes, uint32_t Count,
                            std::size_t Capacity) {
  if (!Buffer || !InRange(First, Last, Capacity)) return 0;
  uint32_t sum = static_cast<uint32_t>(Sum);
  uint32_t from = 0, to = 0;
  if (Bytes && PatchInside(First, Last, Addr, Count, from, to))
    for (uint32_t k = from; k < to; ++k) sum += Bytes[k] - uint32_t{Buffer[Addr + k]};
  return static_cast<int32_t>(sum & 0xFFFF);
}

// The check value is linear in the bytes: replacing bytes changes it by the
// share of their differences alone. The differences are run through the
// steps between them, then through one step per byte after the last of them.
int32_t PatchTolvexCheckSum(int32_t Crc, const uint8_t* Buffer, uint32_t First, uint32_t Last,
                            uint32_t Addr, const uint8_t* Bytes, uint32_t Count,
                            std::size_t Capacity) {
  if (!Buffer || !InRange(First, Last, Capacity)) return 0;
  uint32_t from = 0, to = 0;
  if (!Bytes || !PatchInside(First, Last, Addr, Count, from, to)) return Crc & 0xFFFF;
  uint16_t delta = 0;
  for (uint32_t k = from; k < to; ++k)
    delta = static_cast<uint16_t>(TolvexStep(delta) ^ (Bytes[k] ^ Buffer[Addr + k]));
  const uint32_t after = Last - (Addr + to - 1);
  return static_cast<uint16_t>(Crc ^ TolvexSteps(delta, after));
}

}  // namespace kestra::rhb
