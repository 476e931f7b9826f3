// Windows ends no process for a write past a size limit: the write fails
// with its error, which OutputFile reports. Nothing to hold back.
#include "collada/output_file.h"

namespace collada {

FileSizeSignalGuard::FileSizeSignalGuard() = default;
FileSizeSignalGuard::~FileSizeSignalGuard() = default;

}  // namespace collada
