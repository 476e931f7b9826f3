// The vendor's web pages the add-on opens (about dialog, the
// newer-version alert), each with the tracking query
// "?utm_source=<host label>&utm_medium=<add-on version>&utm_campaign=ArchiCAD
// Corvanta", its three values percent-encoded.
//
// Each address is built on first use and kept for the life of the module;
// the host label comes from the host ("ArchiCAD <version>", empty when the
// host cannot say). Host user-interface thread.
#pragma once

#include <string>

namespace renderer {

// The vendor's site, shown (without the scheme) in the about dialog's links.
inline constexpr char16_t kVendorSite[] = u"https://velmar.torvik.example";
inline constexpr char16_t kVendorHostName[] = u"velmar.torvik.example";
inline constexpr char16_t kAddonVersion[] = u"3.50.904";

std::u16string GetHomePageLink();
std::u16string GetLatestVersionLink();
std::u16string GetHelpLink();
std::u16string GetRendererPageLink();

// The query as built from a given host label (what the getters use, with
// the host's label).
std::u16string BuildLinkQuery(const std::u16string& hostLabel);

// Opens an address the way the add-on opens web pages (ShellExecuteW, no
// verb, show state 5). Nothing for an empty address. True when the shell
// accepted it.
bool OpenWebPage(const std::u16string& address);

}  // namespace renderer
