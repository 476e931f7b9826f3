#include "velmar_report.h"

#include <chrono>
#include <map>

#include "base/utf.h"
#include "terminal_text.h"
#include "util/text.h"

using CorvantaAPI::LinkSnapshot;
using CorvantaAPI::RecordInfo;
using nlohmann::json;

namespace velmar {

namespace {

json RecordJson(const RecordInfo& record) {
  json value = {{"slot", record.slot},   {"type", CorvantaAPI::TypeName(record.type)}, {"id", record.id},
                {"flags", record.flags}, {"changeCount", record.changeCount},          {"size", record.size}};
  if (record.blockId != 0 || record.type == CorvantaAPI::kTypeStat) {
    value["blockId"] = record.blockId;
    value["blockCapacity"] = record.blockCapacity;
  }
  return value;
}

std::string FlagNames(std::uint32_t flags) {
  std::string names;
  if (flags & CorvantaAPI::kFlagChanged) names += " changed";
  if (flags & CorvantaAPI::kFlagClosed) names += " closed";
  return names.empty() ? " none" : names;
}

// printf-style formatting into a std::string, for the human output.
template <typename... Args>
std::string Format(const char* format, Args... args) {
  char buffer[512];
  const int n = std::snprintf(buffer, sizeof buffer, format, args...);
  return std::string(buffer, n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1));
}

}  // namespace

json SnapshotJson(const LinkSnapshot& snapshot) {
  json records = json::array();
  for (const RecordInfo& record : snapshot.records) records.push_back(RecordJson(record));
  json value = {{"flags", snapshot.flags},
                {"changeCount", snapshot.changeCount},
                {"updateCount", snapshot.updateCount},
                {"recordCount", snapshot.recordCount},
                {"highestSlot", snapshot.highestSlot},
                {"capacity", snapshot.capacity},
                {"creatorPid", snapshot.creatorPid},
                {"lockOwner", snapshot.lockOwner},
                {"label", base::ToUtf8(snapshot.label)},
                {"records", std::move(records)},
                {"status", base::ToUtf8(snapshot.statusText)}};
  if (!snapshot.statusProblem.empty()) value["statusProblem"] = snapshot.statusProblem;
  const auto& camera = snapshot.camera;
  if (camera.present) {
    value["camera"] = {{"active", camera.active},           {"kind", camera.kind},
                       {"fieldOfView", camera.fieldOfView}, {"position", camera.position},
                       {"backward", camera.backward},       {"up", camera.up}};
  }
  return value;
}

json ChangesJson(const LinkSnapshot& before, const LinkSnapshot& after) {
  std::map<std::uint32_t, const RecordInfo*> old;  // by slot
  for (const RecordInfo& record : before.records) old[record.slot] = &record;
  json changed = json::array();
  for (const RecordInfo& record : after.records) {
    auto found = old.find(record.slot);
    const bool isNew = found == old.end();
    const bool same = !isNew && found->second->id == record.id && found->second->type == record.type &&
                      found->second->changeCount == record.changeCount && found->second->flags == record.flags;
    if (!isNew) old.erase(found);
    if (same) continue;
    json entry = RecordJson(record);
    entry["change"] = isNew ? "new" : "changed";
    changed.push_back(std::move(entry));
  }
  for (const auto& [slot, record] : old) {
    json entry = RecordJson(*record);
    entry["change"] = "removed";
    changed.push_back(std::move(entry));
  }
  json value = {{"records", std::move(changed)}};
  if (before.statusText != after.statusText) value["status"] = base::ToUtf8(after.statusText);
  if (before.changeCount != after.changeCount) value["changeCount"] = after.changeCount;
  if (before.flags != after.flags) value["flags"] = after.flags;
  const auto& a = before.camera;
  const auto& b = after.camera;
  if (a.active != b.active || a.kind != b.kind || a.position != b.position || a.backward != b.backward ||
      a.up != b.up || a.fieldOfView != b.fieldOfView)
    value["camera"] = SnapshotJson(after)["camera"];
  return value;
}

void Reporter::Emit(const std::string& event, nlohmann::json fields, const std::string& human) {
  if (json_) {
    fields["event"] = event;
    // Wall-clock time, so that a script can line velmar's events up with
    // another program's (an edit in the host, its wake-up here).
    fields["at"] =
        std::chrono::duration<double, std::milli>(std::chrono::system_clock::now().time_since_epoch()).count();
    const std::string line = fields.dump(-1, ' ', false, json::error_handler_t::replace);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
  } else {
    // The parts quoted from shared memory are escaped where they are put
    // in; this catches whatever else reaches the terminal.
    const std::string shown = Printable(human, true);
    std::fwrite(shown.data(), 1, shown.size(), stdout);
    if (shown.empty() || shown.back() != '\n') std::fputc('\n', stdout);
  }
  std::fflush(stdout);
}

void Reporter::Error(const std::string& message) {
  std::fprintf(stderr, "velmar: %s\n", Printable(message, true).c_str());
  std::fflush(stderr);
}

std::string Reporter::HumanSnapshot(const LinkSnapshot& snapshot) const {
  std::string text = Format(
      "  header: flags%s, changeCount %u, updateCount %u, records %u, highest slot %u of %u, "
      "creator %u, lock %u\n",
      FlagNames(snapshot.flags).c_str(), snapshot.changeCount, snapshot.updateCount, snapshot.recordCount,
      snapshot.highestSlot, snapshot.capacity, snapshot.creatorPid, snapshot.lockOwner);
  if (!snapshot.label.empty()) text += "  label: " + Printable(base::ToUtf8(snapshot.label)) + "\n";
  std::map<std::string, int> byType;
  for (const RecordInfo& record : snapshot.records) ++byType[CorvantaAPI::TypeName(record.type)];
  text += "  records by type:";
  for (const auto& [type, count] : byType) text += Format(" %s %d", type.c_str(), count);
  text += "\n";
  for (const RecordInfo& record : snapshot.records) {
    if (record.type == CorvantaAPI::kTypeSurface && record.changeCount == 0) continue;
    text += Format("    slot %u %s id %u flags 0x%x changes %u", record.slot,
                   CorvantaAPI::TypeName(record.type).c_str(), record.id, record.flags, record.changeCount);
    if (record.blockId != 0) text += Format(" block %08X (%u bytes)", record.blockId, record.blockCapacity);
    text += "\n";
  }
  if (snapshot.statusProblem.empty()) text += "  status: " + Printable(base::ToUtf8(snapshot.statusText)) + "\n";
  else text += "  status: (" + Printable(snapshot.statusProblem) + ")\n";
  const auto& camera = snapshot.camera;
  if (camera.present) {
    text += Format(
        "  camera: %s, kind %u, field of view %.4f, eye (%.3f, %.3f, %.3f), "
        "backward (%.3f, %.3f, %.3f), up (%.3f, %.3f, %.3f)\n",
        camera.active ? "followed" : "not followed", camera.kind, static_cast<double>(camera.fieldOfView),
        static_cast<double>(camera.position[0]), static_cast<double>(camera.position[1]),
        static_cast<double>(camera.position[2]), static_cast<double>(camera.backward[0]),
        static_cast<double>(camera.backward[1]), static_cast<double>(camera.backward[2]),
        static_cast<double>(camera.up[0]), static_cast<double>(camera.up[1]), static_cast<double>(camera.up[2]));
  }
  return text;
}

std::string Reporter::HumanChanges(const nlohmann::json& changes) const {
  std::string text;
  for (const auto& record : changes["records"]) {
    text +=
        Format("    %s: slot %u %s id %u flags 0x%x changes %u\n", record["change"].get<std::string>().c_str(),
               record["slot"].get<unsigned>(), record["type"].get<std::string>().c_str(), record["id"].get<unsigned>(),
               record["flags"].get<unsigned>(), record["changeCount"].get<unsigned>());
  }
  if (changes.contains("status")) text += "    status now: " + Printable(changes["status"].get<std::string>()) + "\n";
  if (changes.contains("camera")) text += "    camera changed\n";
  if (text.empty()) text = "    nothing changed in the records\n";
  return text;
}

}  // namespace velmar
