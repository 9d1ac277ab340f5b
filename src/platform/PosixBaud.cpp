// Kept apart: the kernel's termios2 header clashes with the C library's <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cstdint>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace kestra::platform {

bool SetArbitraryBaudRate(int fd, uint32_t rate) {
  struct termios2 tio;
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_cflag &= ~CBAUD;
  tio.c_cflag |= BOTHER;
  tio.c_cflag &= ~(CBAUD << IBSHIFT);
  tio.c_cflag |= BOTHER << IBSHIFT;
  tio.c_ispeed = rate;
  tio.c_ospeed = rate;
  return ioctl(fd, TCSETS2, &tio) == 0;
}

}  // namespace kestra::platform
