// The test publisher's "shrinkarea": its own control area cut to nothing
// under the renderers that map it, as a hostile or broken peer could.
#pragma once

#include <string>

namespace velmar_test {

// The publisher's answer: "shrunk RC", RC 0 when the area was cut.
std::string ShrinkArea(const std::u16string& linkName);

}  // namespace velmar_test
