#include "context/host_queries.h"

#include <cstring>

#include "base/utf.h"
#include "hostsdk/acapi.h"
#include "hostsdk/requests.h"
#include "util/files.h"
#include "util/text.h"

namespace context {
namespace {

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

bool GetCurrentWindowType(API_WindowTypeID* type) {
  API_WindowInfo info{};
  if (ACAPI_Database(APIDb_GetCurrentWindowID, &info) != NoError) return false;
  *type = info.typeID;
  return true;
}

}  // namespace

std::u16string PercentDecode(std::u16string_view text) {
  std::u16string out;
  out.reserve(text.size());
  // A UTF-8 sequence being put together from decoded bytes: the unit so far
  // and how many continuation bytes it still needs. Sequences of four bytes
  // (and their continuations) are swallowed: skip counts those.
  char16_t unit = 0;
  int needed = 0;
  int skip = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c == u'%' && i + 2 < text.size()) {
      const int hi = HexValue(text[i + 1]);
      const int lo = HexValue(text[i + 2]);
      if (hi >= 0 && lo >= 0) {
        const unsigned b = static_cast<unsigned>(hi * 16 + lo);
        i += 2;
        if (b >= 128 && b <= 191) {
          if (needed > 0) {
            unit = static_cast<char16_t>((unit << 6) | (b & 0x3F));
            if (--needed == 0) out.push_back(unit);
          } else if (skip > 0) {
            --skip;
          }
          continue;
        }
        needed = 0;
        skip = 0;
        if (b < 128) {
          out.push_back(static_cast<char16_t>(b));
        } else if (b >= 192 && b <= 223) {
          unit = static_cast<char16_t>(b & 0x1F);
          needed = 1;
        } else if (b >= 224 && b <= 239) {
          unit = static_cast<char16_t>(b & 0x0F);
          needed = 2;
        } else {
          skip = 3;
        }
        continue;
      }
    }
    needed = 0;
    skip = 0;
    out.push_back(c);
  }
  return out;
}

std::u16string ConnectionNameFor(std::u16string_view projectPath) {
  const std::size_t slash = util::LastPathSeparator(projectPath);
  const std::size_t dot = projectPath.find_last_of(u'.');
  std::u16string name(projectPath);
  if (dot != std::u16string_view::npos && (slash == std::u16string_view::npos || dot > slash)) name.resize(dot);
  name += u".dae";
  return name;
}

std::u16string FileNameOf(std::u16string_view path) {
  const std::size_t slash = util::LastPathSeparator(path);
  return std::u16string(slash == std::u16string_view::npos ? path : path.substr(slash + 1));
}

std::u16string GetProjectFilePath() {
  API_ProjectInfo info;
  if (ACAPI_Environment(APIEnv_ProjectID, &info) != NoError) return {};
  if (!info.teamwork) {
    if (info.untitled || info.location.IsEmpty()) return {};
    GS::UniString path;
    if (info.location.ToPath(&path) != NoError) return {};
    return path.ToU16();
  }
  const std::u16string& url = info.teamworkUrl.ToU16();
  const std::size_t at = url.find_last_of(u'@');
  std::u16string tail = at == std::u16string::npos ? url : url.substr(at + 1);
  std::u16string path = PercentDecode(PercentDecode(tail));
  path += u".pln";
  return path;
}

bool IsProjectAvailable() {
  API_ProjectInfo info;
  return ACAPI_Environment(APIEnv_ProjectID, &info) == NoError;
}

bool Is3DWindowCurrent() {
  API_WindowTypeID type{};
  return GetCurrentWindowType(&type) && type == APIWind_3DModelID;
}

bool Make3DWindowCurrent() {
  API_WindowTypeID type{};
  if (!GetCurrentWindowType(&type)) return false;
  if (type != APIWind_3DModelID) {
    API_WindowInfo info{};
    info.typeID = APIWind_3DModelID;
    ACAPI_Database(APIDb_ChangeCurrentWindowID, &info);
  }
  return true;
}

bool IsPerspectiveView() {
  API_3DProjectionInfo info;
  if (ACAPI_Environment(APIEnv_Get3DProjectionSetsID, &info) != NoError) return false;
  return info.isPersp;
}

void SwitchToPerspective() {
  Make3DWindowCurrent();
  API_3DProjectionInfo info;
  // Keep the host's other projection settings: start from what it reports.
  ACAPI_Environment(APIEnv_Get3DProjectionSetsID, &info);
  info.isPersp = true;
  if (ACAPI_Environment(APIEnv_Change3DProjectionSetsID, &info) == NoError) ACAPI_Automate(APIDo_RebuildID);
}

std::u16string GetHostVersion() {
  API_ApplicationInfo info;
  std::memset(&info, 0, sizeof info);
  if (ACAPI_Environment(APIEnv_ApplicationID, &info) != NoError) return {};
  // The host's text is NUL-terminated within its field; never read past it.
  const std::size_t n = strnlen(info.version, sizeof info.version);
  return util::FormatString(u"%s", base::FromUtf8(std::string_view(info.version, n)).c_str());
}

std::u16string GetHostLabel() {
  API_ApplicationInfo info;
  std::memset(&info, 0, sizeof info);
  if (ACAPI_Environment(APIEnv_ApplicationID, &info) != NoError) return {};
  const std::size_t n = strnlen(info.version, sizeof info.version);
  return util::FormatString(u"ArchiCAD %s", base::FromUtf8(std::string_view(info.version, n)).c_str());
}

}  // namespace context
