// plain_open PATH: opens PATH as another program that knows nothing of our
// lock would (a terminal program, a modem manager), without CAP_SYS_ADMIN even
// when started by root. Exit status: 0 when the open succeeded, else its errno;
// 250 when the capability could not be dropped.
#include <errno.h>
#include <fcntl.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int CannotDrop = 250;

// Removes CAP_SYS_ADMIN from this process (a no-op for an ordinary user).
bool DropSysAdmin() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  const unsigned word = CAP_TO_INDEX(CAP_SYS_ADMIN);
  const unsigned bit = CAP_TO_MASK(CAP_SYS_ADMIN);
  data[word].effective &= ~bit;
  data[word].permitted &= ~bit;
  data[word].inheritable &= ~bit;
  if (syscall(SYS_capset, &header, data) != 0) return false;
  if (syscall(SYS_capget, &header, data) != 0) return false;
  return (data[word].effective & bit) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || !DropSysAdmin()) return CannotDrop;
  const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return errno;
  close(fd);
  return 0;
}
