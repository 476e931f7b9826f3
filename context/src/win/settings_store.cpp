// Where the settings are kept on Windows: the current user's own registry,
// in the key itself; there is no file of ours. Its full name is what the
// user finds in the registry editor.
#include "context/plugin_settings.h"

namespace context {

std::u16string PluginSettings::StoreFile() const { return u"HKEY_CURRENT_USER\\" + keyPath_; }

}  // namespace context
