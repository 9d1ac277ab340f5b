#include "platform/PosixSerial.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>

#include "platform/OverlappedOperations.h"

namespace kestra::platform {

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t MaxDword = 0xFFFFFFFF;

speed_t SpeedConstant(uint32_t rate) {
  switch (rate) {
    case 50:
      return B50;
    case 75:
      return B75;
    case 110:
      return B110;
    case 134:
      return B134;
    case 150:
      return B150;
    case 200:
      return B200;
    case 300:
      return B300;
    case 600:
      return B600;
    case 1200:
      return B1200;
    case 1800:
      return B1800;
    case 2400:
      return B2400;
    case 4800:
      return B4800;
    case 9600:
      return B9600;
    case 19200:
      return B19200;
    case 38400:
      return B38400;
    case 57600:
      return B57600;
    case 115200:
      return B115200;
    case 230400:
      return B230400;
    case 460800:
      return B460800;
    case 500000:
      return B500000;
    case 576000:
      return B576000;
    case 921600:
      return B921600;
    case 1000000:
      return B1000000;
    case 1152000:
      return B1152000;
    case 1500000:
      return B1500000;
    case 2000000:
      return B2000000;
    case 2500000:
      return B2500000;
    case 3000000:
      return B3000000;
    case 3500000:
      return B3500000;
    case 4000000:
      return B4000000;
    default:
      return B0;
  }
}

// Maps the line settings onto termios raw mode and the modem-control lines.
void ApplyLine(int fd, const DeviceControlBlock& dcb) {
  termios tio{};
  if (tcgetattr(fd, &tio) != 0) return;  // not a tty: nothing to set
  cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  switch (dcb.ByteSize) {
    case 5:
      tio.c_cflag |= CS5;
      break;
    case 6:
      tio.c_cflag |= CS6;
      break;
    case 7:
      tio.c_cflag |= CS7;
      break;
    default:
      tio.c_cflag |= CS8;
      break;
  }
  switch (dcb.Parity) {
    case 1:
      tio.c_cflag |= PARENB | PARODD;
      break;
    case 2:
      tio.c_cflag |= PARENB;
      break;
    case 3:
      tio.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case 4:
      tio.c_cflag |= PARENB | CMSPAR;
      break;
    default:
      break;
  }
  if (dcb.fParity && dcb.Parity != 0) tio.c_iflag |= INPCK;
  if (dcb.StopBits != 0) tio.c_cflag |= CSTOPB;  // with 5 data bits the UART sends 1.5
  if (dcb.fOutxCtsFlow || dcb.fRtsControl == 2) tio.c_cflag |= CRTSCTS;
  tio.c_iflag &= ~(IXON | IXOFF | IXANY);
  if (dcb.fOutX) tio.c_iflag |= IXON;
  if (dcb.fInX) tio.c_iflag |= IXOFF;
  tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
  tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
  tio.c_cc[VMIN] = 1;  // with O_NONBLOCK an empty read then fails with EAGAIN, not 0
  tio.c_cc[VTIME] = 0;
  const speed_t speed = SpeedConstant(dcb.BaudRate);
  if (speed != B0) {
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
  }
  tcsetattr(fd, TCSANOW, &tio);
  if (speed == B0 && dcb.BaudRate != 0) SetArbitraryBaudRate(fd, dcb.BaudRate);

  int dtr = TIOCM_DTR;
  ioctl(fd, dcb.fDtrControl == 0 ? TIOCMBIC : TIOCMBIS, &dtr);
  if (dcb.fRtsControl != 2) {
    int rts = TIOCM_RTS;
    ioctl(fd, dcb.fRtsControl == 0 ? TIOCMBIC : TIOCMBIS, &rts);
  }
}

// A wait of d (none when d is already over) for ppoll.
timespec UntilDue(Clock::duration d) {
  const auto ns = std::max<int64_t>(std::chrono::nanoseconds(d).count(), 0);
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

uint32_t ErrorFromErrno(int e) {
  switch (e) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return ErrFileNotFound;
    case EACCES:
    case EPERM:
      return ErrAccessDenied;
    case EBUSY:
    case EWOULDBLOCK:
      return ErrSharingViolation;
    default:
      return ErrGenFailure;
  }
}

}  // namespace

// An open tty with its I/O thread.
class PosixPort : public KernelObject {
 public:
  PosixPort(int fd, int wakeFd) : fd_(fd), wakeFd_(wakeFd) {
    serial_icounter_struct ic{};
    icountSupported_ = ioctl(fd_, TIOCGICOUNT, &ic) == 0;
    if (icountSupported_) icount_ = ic;
  }
  ~PosixPort() override { OnClose(); }

  bool StartIo() {
    try {
      io_ = std::thread([this] { IoLoop(); });
      return true;
    } catch (const std::system_error&) {
      return false;
    }
  }

  void OnClose() override {
    {
      std::lock_guard lock(mutex_);
      if (closed_) return;
      closed_ = true;
      ops_.FailPending(ErrOperationAborted);
      Wake();
    }
    if (io_.joinable()) io_.join();
    // The exclusive mode belongs to the tty, not to this descriptor: a tty that
    // someone else keeps open (a pty's other user) would stay barred to the
    // next non-root opener, this program included.
    ioctl(fd_, TIOCNXCL);
    close(fd_);  // releases the lock too
    close(wakeFd_);
  }

  int Fd() const { return fd_; }

  uint32_t Setup() {
    std::lock_guard lock(mutex_);
    return closed_ ? ErrInvalidHandle : ErrSuccess;
  }

  uint32_t Purge(uint32_t flags) {
    std::lock_guard lock(mutex_);
    if (closed_) return ErrInvalidHandle;
    ops_.Abort(flags);
    if (ops_.deadError == ErrSuccess) {
      if (flags & PurgeTxClear) tcflush(fd_, TCOFLUSH);
      if (flags & PurgeRxClear) tcflush(fd_, TCIFLUSH);
    }
    Wake();
    return ErrSuccess;
  }

  // The line settings and the time-outs are kept here; a new line setting
  // goes to the tty at once, new time-outs to the I/O thread.
  template <class T>
  uint32_t CopyOut(T* out, const T& kept) {
    std::lock_guard lock(mutex_);
    *out = kept;
    return ErrSuccess;
  }
  uint32_t GetState(DeviceControlBlock* dcb) { return CopyOut(dcb, dcb_); }
  uint32_t GetTimeouts(CommTimeouts* t) { return CopyOut(t, timeouts_); }

  uint32_t SetState(const DeviceControlBlock& dcb) {
    std::lock_guard lock(mutex_);
    if (ops_.deadError != ErrSuccess) return ops_.deadError;
    dcb_ = dcb;
    ApplyLine(fd_, dcb_);
    return ErrSuccess;
  }

  uint32_t SetTimeouts(const CommTimeouts& t) {
    std::lock_guard lock(mutex_);
    timeouts_ = t;
    Wake();
    return ErrSuccess;
  }

  uint32_t SetMask(uint32_t mask) {
    std::lock_guard lock(mutex_);
    ops_.commMask = mask;
    ops_.raised = 0;
    if (ops_.comm.Pending()) {
      ops_.comm.mask = 0;
      ops_.Complete(ops_.comm, ErrSuccess);
    }
    return ErrSuccess;
  }

  uint32_t WaitEvent(uint32_t* mask, Overlapped* ov, std::shared_ptr<Event> ev) {
    std::lock_guard lock(mutex_);
    if (ops_.deadError != ErrSuccess) return ops_.deadError;
    if (ops_.commMask == 0 || ops_.comm.Pending()) return ErrInvalidParameter;
    ops_.BeginWait(mask, ov, std::move(ev));
    CheckLineEvents();
    return ops_.EndWaitAtOnce();
  }

  uint32_t Read(void* buffer, uint32_t size, uint32_t* read, Overlapped* ov,
                std::shared_ptr<Event> ev) {
    std::lock_guard lock(mutex_);
    OverlappedOp& op = ops_.read;
    if (uint32_t e = BeginTransfer(op, size, ov, std::move(ev))) return e;
    op.readBuf = static_cast<uint8_t*>(buffer);
    ReadSome();
    return EndTransfer(op, read, [&] { return ReadDue(Clock::now(), nullptr); });
  }

  uint32_t Write(const void* buffer, uint32_t size, uint32_t* written, Overlapped* ov,
                 std::shared_ptr<Event> ev) {
    std::lock_guard lock(mutex_);
    OverlappedOp& op = ops_.write;
    if (uint32_t e = BeginTransfer(op, size, ov, std::move(ev))) return e;
    op.writeBuf = static_cast<const uint8_t*>(buffer);
    WriteSome();
    return EndTransfer(op, written, [&] { return op.count == size; });
  }

  // A read or write begins (under the lock): refused on a dead port or while
  // one of its kind is pending.
  uint32_t BeginTransfer(OverlappedOp& op, uint32_t size, Overlapped* ov,
                         std::shared_ptr<Event> ev) {
    if (ops_.deadError != ErrSuccess) return ops_.deadError;
    if (op.Pending()) return ErrInvalidParameter;
    ops_.Begin(op, ov, std::move(ev));
    op.size = size;
    return ErrSuccess;
  }

  // After the first bytes moved: the port died meanwhile, the transfer is
  // done at once, or it goes on in the I/O thread.
  template <class Done>
  uint32_t EndTransfer(OverlappedOp& op, uint32_t* count, Done done) {
    if (ops_.deadError != ErrSuccess) {
      op.state = OpState::Idle;
      return ops_.deadError;
    }
    if (done()) return ops_.EndAtOnce(op, count);
    Wake();
    return ErrIoPending;
  }

  uint32_t Result(Overlapped* ov, uint32_t* transferred, bool wait) {
    std::unique_lock lock(mutex_);
    return ops_.Collect(lock, ov, transferred, wait);
  }

  uint32_t ClearErrors(uint32_t* errors) {
    std::lock_guard lock(mutex_);
    CheckLineEvents();
    return ops_.TakeLineErrors(errors);
  }

 private:
  void Wake() {
    uint64_t one = 1;
    [[maybe_unused]] auto n = write(wakeFd_, &one, sizeof one);
  }

  // Moves op's bytes through io until all are moved or the tty would block;
  // an end of file or an I/O error means the device is gone.
  template <class Io>
  void MoveSome(OverlappedOp& op, Io io) {
    while (op.count < op.size) {
      const ssize_t n = io(op.count);
      if (n > 0) {
        op.count += static_cast<uint32_t>(n);
        continue;
      }
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
      ops_.Vanish();
      return;
    }
  }

  void ReadSome() {
    OverlappedOp& op = ops_.read;
    MoveSome(op, [&](uint32_t at) {
      const ssize_t n = read(fd_, op.readBuf + at, op.size - at);
      if (n > 0) op.last = Clock::now();
      return n;
    });
  }

  void WriteSome() {
    OverlappedOp& op = ops_.write;
    MoveSome(op, [&](uint32_t at) { return write(fd_, op.writeBuf + at, op.size - at); });
  }

  // Whether the pending read is complete; otherwise the time it next may be.
  bool ReadDue(Clock::time_point now, std::optional<Clock::time_point>* next) {
    const CommTimeouts& t = timeouts_;
    const OverlappedOp& op = ops_.read;
    if (op.count >= op.size) return true;
    if (t.ReadIntervalTimeout == MaxDword && t.ReadTotalTimeoutMultiplier == 0 &&
        t.ReadTotalTimeoutConstant == 0)
      return true;  // return at once with what is there
    std::optional<Clock::time_point> due;
    auto consider = [&](Clock::time_point tp) {
      if (!due || tp < *due) due = tp;
    };
    if (t.ReadIntervalTimeout == MaxDword && t.ReadTotalTimeoutMultiplier == MaxDword) {
      if (op.count > 0) return true;
      if (t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MaxDword)
        consider(op.start + std::chrono::milliseconds(t.ReadTotalTimeoutConstant));
    } else {
      if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0)
        consider(op.start +
                 std::chrono::milliseconds(uint64_t{t.ReadTotalTimeoutMultiplier} * op.size +
                                           t.ReadTotalTimeoutConstant));
      if (t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MaxDword && op.count > 0)
        consider(op.last + std::chrono::milliseconds(t.ReadIntervalTimeout));
    }
    if (due && now >= *due) return true;
    if (next && due && (!*next || *due < **next)) *next = due;
    return false;
  }

  bool WriteDue(Clock::time_point now, std::optional<Clock::time_point>* next) {
    const CommTimeouts& t = timeouts_;
    if (t.WriteTotalTimeoutMultiplier == 0 && t.WriteTotalTimeoutConstant == 0) return false;
    auto due = ops_.write.start +
               std::chrono::milliseconds(uint64_t{t.WriteTotalTimeoutMultiplier} * ops_.write.size +
                                         t.WriteTotalTimeoutConstant);
    if (now >= due) return true;
    if (next && (!*next || due < **next)) *next = due;
    return false;
  }

  // Reads the driver's counters (where it keeps them) and raises comm events.
  void CheckLineEvents() {
    if (!icountSupported_ || ops_.deadError != ErrSuccess) return;
    serial_icounter_struct ic{};
    if (ioctl(fd_, TIOCGICOUNT, &ic) != 0) return;
    uint32_t ce = 0, ev = 0;
    if (ic.overrun != icount_.overrun) ce |= CeOverrun;
    if (ic.buf_overrun != icount_.buf_overrun) ce |= CeRxOver;
    if (ic.parity != icount_.parity) ce |= CeRxParity;
    if (ic.frame != icount_.frame) ce |= CeFrame;
    if (ic.brk != icount_.brk) ce |= CeBreak;
    if (ce) ev |= EvErr;
    if (ic.dcd != icount_.dcd) ev |= EvRlsd;
    if (ic.rng != icount_.rng) ev |= EvRing;
    icount_ = ic;
    ops_.lineErrors |= ce;
    ops_.Raise(ev & ops_.commMask);
  }

  void IoLoop() {
    // Time-outs end when due, not up to the default 50 us of timer slack later.
    prctl(PR_SET_TIMERSLACK, 1UL);
    std::unique_lock lock(mutex_);
    while (!closed_) {
      pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, 0, 0}};
      nfds_t nfds = 1;
      std::optional<Clock::time_point> next;
      const auto now = Clock::now();
      if (ops_.deadError == ErrSuccess) {
        short events = 0;
        if (ops_.read.Pending()) {
          events |= POLLIN;
          ReadDue(now, &next);
        }
        if (ops_.write.Pending()) {
          events |= POLLOUT;
          WriteDue(now, &next);
        }
        fds[1] = {fd_, events, 0};  // hang-ups are reported whatever is asked
        nfds = 2;
      }
      // The wait ends exactly when the next time-out is due, not at the next
      // whole millisecond: a read completes that much sooner after the line
      // went quiet, and an idle port (nothing due) still sleeps without limit.
      timespec wait{};
      if (next) wait = UntilDue(*next - now);
      lock.unlock();
      int r = ppoll(fds, nfds, next ? &wait : nullptr, nullptr);
      lock.lock();
      if (closed_) break;
      if (r < 0) continue;  // interrupted
      if (fds[0].revents & POLLIN) {
        uint64_t v;
        [[maybe_unused]] auto n = read(wakeFd_, &v, sizeof v);
      }
      if (nfds < 2 || ops_.deadError != ErrSuccess) continue;
      const short rev = fds[1].revents;
      if (ops_.read.Pending() && (rev & POLLIN)) ReadSome();
      if (ops_.write.Pending() && (rev & POLLOUT)) {
        WriteSome();
        if (ops_.write.Pending() && ops_.write.count == ops_.write.size)
          ops_.Complete(ops_.write, ErrSuccess);
      }
      if (rev & (POLLHUP | POLLERR | POLLNVAL)) ops_.Vanish();
      if (ops_.deadError != ErrSuccess) continue;
      CheckLineEvents();
      const auto later = Clock::now();
      if (ops_.read.Pending() && ReadDue(later, nullptr)) ops_.Complete(ops_.read, ErrSuccess);
      if (ops_.write.Pending() && WriteDue(later, nullptr))
        ops_.Complete(ops_.write, ErrSuccess);  // time-out: done with what was written
    }
  }

  const int fd_;
  const int wakeFd_;
  std::thread io_;
  std::mutex mutex_;
  bool closed_ = false;
  DeviceControlBlock dcb_;
  CommTimeouts timeouts_;
  bool icountSupported_ = false;
  serial_icounter_struct icount_{};
  OverlappedOperations ops_;
};

Handle PosixSerialServices::CreateFile(const std::string& path, uint32_t* error) {
  auto fail = [&](uint32_t e) {
    if (error) *error = e;
    return Handle{0};
  };
  int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(ErrorFromErrno(errno));
  // No sharing: an exclusive lock that even root cannot bypass by opening,
  // for openers that honour locks.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return fail(ErrSharingViolation);
  }
  // USB serial adapters otherwise hold received bytes back for up to 16 ms.
  serial_struct ss{};
  if (ioctl(fd, TIOCGSERIAL, &ss) == 0 && !(ss.flags & ASYNC_LOW_LATENCY)) {
    ss.flags |= ASYNC_LOW_LATENCY;
    ioctl(fd, TIOCSSERIAL, &ss);
  }
  int wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd < 0) {
    close(fd);
    return fail(ErrNotEnoughMemory);
  }
  // And the tty's exclusive mode, which refuses any later open() by a program
  // that takes no lock (a terminal program, a modem manager) unless it runs
  // with CAP_SYS_ADMIN. The port clears it again on close. A file that is no
  // tty refuses it: left as it is.
  ioctl(fd, TIOCEXCL);
  auto port = std::make_shared<PosixPort>(fd, wakeFd);
  if (!port->StartIo()) {
    port->OnClose();
    return fail(ErrNotEnoughMemory);
  }
  if (error) *error = ErrSuccess;
  return AddObject(std::move(port));
}

bool PosixSerialServices::IsCharacterDevice(Handle h) {
  auto port = Lookup<PosixPort>(h);
  struct stat st {};
  return port && fstat(port->Fd(), &st) == 0 && S_ISCHR(st.st_mode);
}

namespace {

// Runs f on the open port, or reports an invalid handle.
template <class F>
uint32_t OnPort(SerialServices& s, Handle h, F&& f) {
  auto port = s.Lookup<PosixPort>(h);
  return port ? f(*port) : ErrInvalidHandle;
}

// The same for an overlapped call: also needs the record's event.
template <class F>
uint32_t OnPortOverlapped(SerialServices& s, Handle h, Overlapped* ov, F&& f) {
  auto port = s.Lookup<PosixPort>(h);
  if (!port) return ErrInvalidHandle;
  auto ev = ov ? s.Lookup<Event>(ov->hEvent) : nullptr;
  if (!ev) return ErrInvalidParameter;
  return f(*port, std::move(ev));
}

}  // namespace

uint32_t PosixSerialServices::SetupComm(Handle h, uint32_t, uint32_t) {
  return OnPort(*this, h, [](PosixPort& p) { return p.Setup(); });
}

uint32_t PosixSerialServices::PurgeComm(Handle h, uint32_t flags) {
  return OnPort(*this, h, [&](PosixPort& p) { return p.Purge(flags); });
}

uint32_t PosixSerialServices::GetCommState(Handle h, DeviceControlBlock* dcb) {
  return OnPort(*this, h, [&](PosixPort& p) { return p.GetState(dcb); });
}

uint32_t PosixSerialServices::SetCommState(Handle h, const DeviceControlBlock& dcb) {
  return OnPort(*this, h, [&](PosixPort& p) { return p.SetState(dcb); });
}

uint32_t PosixSerialServices::GetCommTimeouts(Handle h, CommTimeouts* t) {
  return OnPort(*this, h, [&](PosixPort& p) { return p.GetTimeouts(t); });
}

uint32_t PosixSerialServices::SetCommTimeouts(Handle h, const CommTimeouts& t) {
  return OnPort(*this, h, [&](PosixPort& p) { return p.SetTimeouts(t); });
}

uint32_t PosixSerialServices::SetCommMask(Handle h, uint32_t mask) {
  return OnPort(*this, h, [&](PosixPort& p) { return p.SetMask(mask); });
}

uint32_t PosixSerialServices::WaitCommEvent(Handle h, uint32_t* mask, Overlapped* ov) {
  if (!mask) return ErrInvalidParameter;
  return OnPortOverlapped(*this, h, ov, [&](PosixPort& p, std::shared_ptr<Event> ev) {
    return p.WaitEvent(mask, ov, std::move(ev));
  });
}

uint32_t PosixSerialServices::ReadFile(Handle h, void* buffer, uint32_t size, uint32_t* read,
                                       Overlapped* ov) {
  return OnPortOverlapped(*this, h, ov, [&](PosixPort& p, std::shared_ptr<Event> ev) {
    return p.Read(buffer, size, read, ov, std::move(ev));
  });
}

uint32_t PosixSerialServices::WriteFile(Handle h, const void* buffer, uint32_t size,
                                        uint32_t* written, Overlapped* ov) {
  return OnPortOverlapped(*this, h, ov, [&](PosixPort& p, std::shared_ptr<Event> ev) {
    return p.Write(buffer, size, written, ov, std::move(ev));
  });
}

uint32_t PosixSerialServices::GetOverlappedResult(Handle h, Overlapped* ov, uint32_t* transferred,
                                                  bool wait) {
  return OnPort(*this, h, [&](PosixPort& p) { return p.Result(ov, transferred, wait); });
}

uint32_t PosixSerialServices::ClearCommError(Handle h, uint32_t* errors) {
  return OnPort(*this, h, [&](PosixPort& p) { return p.ClearErrors(errors); });
}

}  // namespace kestra::platform
