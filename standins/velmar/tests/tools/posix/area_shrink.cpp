#include "area_shrink.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "livelink/live_connection.h"
#include "platform/win32.h"

namespace velmar_test {

std::string ShrinkArea(const std::u16string& linkName) {
  const int fd = ::shm_open(platform::ShmObjectName(CorvantaAPI::MappingNameFor(linkName)).c_str(), O_RDWR, 0);
  const int rc = fd >= 0 ? ::ftruncate(fd, 0) : -1;
  if (fd >= 0) ::close(fd);
  return "shrunk " + std::to_string(rc);
}

}  // namespace velmar_test
