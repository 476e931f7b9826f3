// The add-on's side of the link's shared memory, as a renderer (or any
// process of the user) could leave it. The first piece of the input is a
// control area: once as an area found under the link's name (opened as a
// guest, and met by a Create that must take it over or refuse it), once
// written over the whole of an area this side created, as a renderer
// scribbling over the header, the records and the renderer-writable fields
// while the add-on goes on publishing. Further pieces are blocks 1, 2, ...
// under the creator id the area names, for OpenBlock to find.
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "shared_bytes.h"
#include "isolation.h"
#include "memory_registry.h"
#include "livelink/live_connection.h"

using namespace CorvantaAPI;

namespace {

constexpr std::uint32_t kCreatorSlots = 7;

std::u16string LinkName(const char* stem) {
  return corv_fuzz::Wide("C:\\Links\\fuzz-" + std::string(stem) + "-" + std::to_string(::getpid()) + ".dae");
}

std::uint32_t Word(std::string_view bytes, std::size_t offset) {
  std::uint32_t value = 0;
  if (bytes.size() >= offset + 4) std::memcpy(&value, bytes.data() + offset, 4);
  return value;
}

// Everything the add-on does with an open connection, creator or guest,
// against whatever the shared bytes hold now.
void Exercise(LiveConnection& link) {
  link.IsConnected();
  link.MappingBroken();
  link.IsOwnerForeground();
  link.HasPeerTexts();
  ReadFixedText(link.GetPeerText1(), kPeerTextUnits);
  ReadFixedText(link.GetPeerText2(), kPeerTextUnits);
  ReadFixedText(link.GetLabel(), kLabelUnits);
  link.GetPeerValue();
  link.GetUpdateCount();
  link.TestFlags(kFlagClosed);
  link.CountRecords(kTypeSurface, 0, 0);
  link.CountRecords(kTypeSurface, kFlagChanged, kFlagChanged);
  for (std::uint32_t type : {kTypeView, kTypeStat, kTypeSurface, kTypeRetiredSurface}) {
    for (Record* record : link.GetRecords(type, 0, 0)) {
      const std::uint32_t id = LoadShared(record->id);
      if (id != 0 && link.FindRecord(id) == nullptr) __builtin_trap();  // a listed record is found again
      link.TestRecordFlags(record, kFlagChanged);
      link.SetRecordFlags(record, kFlagChanged);
      link.ClearRecordFlags(record, kSurfaceFlagMaterialChanged);
      // The block ids a record names, as the add-on and velmar open them.
      const auto bytes = ReadableRecordBytes(record);
      const auto* raw = reinterpret_cast<const std::uint8_t*>(record);
      for (std::size_t offset :
           {std::size_t{20}, offsetof(SurfaceRecord, textureBlockId), kSurfaceGeometryBlockIdOffset}) {
        if (offset + 4 > bytes) continue;
        std::uint32_t block = 0;
        std::memcpy(&block, raw + offset, 4);
        if (link.OpenBlock(block) != nullptr) {
          link.GetBlockSize(block);
          link.CloseBlock(block);
        }
      }
    }
  }
  if (link.Lock(0)) link.Unlock();
  link.SetFlags(kFlagChanged);
  link.ClearFlags(kFlagChanged);
  Record* added = link.CreateRecord(kTypeSurface);
  if (added != nullptr) {
    const std::uint32_t block = link.CreateBlock(LoadShared(added->id), 64);
    if (block != 0 && link.OpenBlock(block) == nullptr) __builtin_trap();  // made here, must open here
    if (link.DeleteRecord(LoadShared(added->id)) != 0) __builtin_trap();   // the link is open
  }
  link.SetLabel(u"fuzz");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  livelink_test::Isolated();
  corv_fuzz::MoveRegistryToMemory();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto pieces = corv_fuzz::Pieces(data, size);
  const std::string_view area = pieces[0];
  const std::u16string found = LinkName("found");
  const std::uint32_t creatorPid = Word(area, offsetof(Header, creatorPid));
  {
    // An area someone left under the link's name, and its blocks.
    corv_fuzz::SharedBytes mapping(MappingNameFor(found), area);
    std::vector<std::unique_ptr<corv_fuzz::SharedBytes>> blocks;
    for (std::size_t i = 1; i < pieces.size() && i <= 8; ++i)
      blocks.push_back(
          std::make_unique<corv_fuzz::SharedBytes>(BlockName(creatorPid, static_cast<std::uint32_t>(i)), pieces[i]));
    LiveConnection guest;
    if (guest.Open(found) == 0) {
      if (guest.LastAreaCheck() != AreaCheck::Ok) __builtin_trap();
      Exercise(guest);
      guest.Close();
    }
    // A start under that name: the area is taken over only when nobody
    // can be publishing to it; either way the result says which.
    LiveConnection starter;
    const CreateResult started = starter.Create(found, 1);
    if (started != CreateResult::kOk && started != CreateResult::kExists && started != CreateResult::kFailed)
      __builtin_trap();
    if (started == CreateResult::kOk) starter.Destroy();
  }
  {
    // This side's own area, written over by the renderer.
    const std::u16string own = LinkName("own");
    LiveConnection creator;
    if (creator.Create(own, kCreatorSlots) != CreateResult::kOk) return 0;
    if (creator.Announce() != 0) __builtin_trap();  // created under a name
    creator.UpdateStatus({{u"toolName", {0, u"fuzz"}}});
    auto* base = reinterpret_cast<std::uint8_t*>(creator.Area().header());
    std::memcpy(base, area.data(), std::min<std::size_t>(area.size(), creator.MappedBytes()));
    Exercise(creator);
    // Not UpdateView(true, ...): that also wakes the renderer, a search of
    // every process's windows that would hold the target to a few dozen
    // runs a second while the record writes are the same.
    CameraViewData camera{};
    creator.UpdateView(false, &camera);
    creator.UpdateView(false, nullptr);
    creator.UpdateStatus({{u"toolName", {0, std::u16string(300, u'x')}}, {u"round", {1, u"2"}}});
    creator.EnumConnections(1);
    creator.Destroy();
  }
  return 0;
}
