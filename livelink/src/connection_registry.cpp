// The per-user registry of announced connections. The control area is the
// proof of life: a value whose area cannot be opened is purged.
#include <algorithm>
#include <cstring>

#include "livelink/live_connection.h"
#include "util/registry_values.h"

namespace CorvantaAPI {

namespace {
constexpr REGSAM kQueryAndSet = KEY_QUERY_VALUE | KEY_SET_VALUE;
constexpr DWORD kNameUnits = kConnectionNameLimit;
}  // namespace

std::int32_t LiveConnection::RegisterConnection(const std::u16string& name) {
  if (name.empty()) return -1;
  HKEY key = util::OpenOrCreateKey(kConnectionsKey);
  if (key == nullptr) return -1;
  const DWORD kind = 1;
  BYTE data[sizeof kind];
  std::memcpy(data, &kind, sizeof kind);
  const LSTATUS status = RegSetValueExW(key, name.c_str(), 0, REG_DWORD, data, sizeof data);
  RegCloseKey(key);
  return status == 0 ? 0 : -1;
}

std::int32_t LiveConnection::UnregisterConnection(const std::u16string& name) {
  if (name.empty()) return -1;
  HKEY key = nullptr;
  LSTATUS status = RegOpenKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, kQueryAndSet, &key);
  if (status == 0) status = RegDeleteValueW(key, name.c_str());
  if (key != nullptr) RegCloseKey(key);
  return status == 0 ? 0 : -1;
}

bool LiveConnection::ConnectionExists(const std::u16string& name) {
  if (name.empty()) return false;
  const std::u16string mappingName = MappingNameFor(name);
  HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, TRUE, mappingName.c_str());
  if (mapping == nullptr) return false;
  CloseHandle(mapping);
  return true;
}

std::vector<std::u16string> LiveConnection::EnumConnections(std::uint32_t kind) { return ReadConnections(kind).names; }

LiveConnection::ConnectionList LiveConnection::ReadConnections(std::uint32_t kind) {
  ConnectionList result;
  HKEY key = nullptr;
  if (const LSTATUS opened = RegOpenKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, kQueryAndSet, &key); opened != 0) {
    if (opened != ERROR_FILE_NOT_FOUND) result.error = static_cast<DWORD>(opened);
    return result;
  }

  // One read of the key, however many links it lists.
  std::vector<platform::RegistryValue> values;
  if (const LSTATUS read = platform::ReadRegistryValues(key, &values); read != 0) {
    values.clear();
    result.error = static_cast<DWORD>(read);
  }
  std::vector<std::u16string> stale;
  for (auto& value : values) {
    // A name the 260-unit enumeration buffer cannot take, or data of more
    // than 4 bytes, is skipped as the enumeration would skip it, and
    // therefore never purged either.
    if (value.name.size() >= kNameUnits || value.data.size() > 4) continue;
    std::uint32_t valueKind = 0;
    if (!value.data.empty()) std::memcpy(&valueKind, value.data.data(), value.data.size());
    if (kind != 0 && valueKind != kind) continue;
    SetLastError(ERROR_SUCCESS);
    if (ConnectionExists(value.name)) {
      result.names.push_back(std::move(value.name));
      continue;
    }
    // Only an area that is not there makes a value stale: one that could
    // not be looked at (out of descriptors or memory, the lock held past
    // its wait) says nothing about its publisher.
    const DWORD why = GetLastError();
    if (why == ERROR_TOO_MANY_OPEN_FILES || why == ERROR_NOT_ENOUGH_MEMORY || why == ERROR_TIMEOUT) {
      if (result.error == 0) result.error = why;
      continue;
    }
    stale.push_back(std::move(value.name));
  }
  // Stale values of crashed publishers go in one write of the key.
  if (!stale.empty()) platform::DeleteRegistryValues(key, stale);
  RegCloseKey(key);
  return result;
}

std::int32_t LiveConnection::Announce() {
  if (announced_) return 0;
  if (name_.empty()) return -1;
  announced_ = true;
  // Not reported: the link works as well when the renderer is given the
  // name another way, and the start must not fail for the registry.
  (void)RegisterConnection(name_);
  return 0;
}

void LiveConnection::Destroy() {
  // A value left behind (never announced, or the registry refused) is
  // purged by the next enumeration once the area is gone.
  (void)UnregisterConnection(name_);
  Close();
}

bool LiveConnection::IsConnected() {
  // A control area the peer shrank under us reads as zeros from then on:
  // the link is over, whatever the flags say.
  // The flags are read first: that read is what finds a shrunk area.
  if (!IsOpen()) return false;
  const std::uint32_t flags = LoadShared(area_.header()->flags);
  return (flags & kFlagClosed) == 0 && !platform::IsViewBroken(base_);
}

}  // namespace CorvantaAPI
