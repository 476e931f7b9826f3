// The host's file location. On this platform a location is a POSIX path.
#pragma once

#include <string>
#include <string_view>

#include "hostsdk/types.h"
#include "hostsdk/unistring.h"

namespace IO {

class Location {
 public:
  Location() = default;
  explicit Location(std::string_view utf8Path) : path_(utf8Path) {}
  explicit Location(const GS::UniString& path) : path_(path.ToUtf8()) {}

  bool IsEmpty() const { return path_.empty(); }
  // The path as text; APIERR_BADNAME (and out untouched) for an empty
  // location, APIERR_BADPARS for a null out.
  GSErrCode ToPath(GS::UniString* out) const {
    if (out == nullptr) return APIERR_BADPARS;
    if (path_.empty()) return APIERR_BADNAME;
    *out = GS::UniString::FromUtf8(path_);
    return NoError;
  }
  const std::string& Utf8Path() const { return path_; }
  friend bool operator==(const Location&, const Location&) = default;

 private:
  std::string path_;
};

}  // namespace IO
