#include "area_object.h"

#include <sys/stat.h>

#include "livelink/live_connection.h"
#include "platform/win32.h"

namespace velmar {

std::uint64_t AreaObject(const std::u16string& linkName) {
  struct stat st {};
  const std::string object = "/dev/shm" + platform::ShmObjectName(CorvantaAPI::MappingNameFor(linkName));
  return ::stat(object.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_ino) : 0;
}

}  // namespace velmar
