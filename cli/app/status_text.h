// Readable text for the result codes of a plug-in run, for the messages of
// the command-line host.
#pragma once

#include <string>

#include "interface/filter_record.h"

namespace cli {

// A short phrase for the code, e.g. "the disk is full", followed by the code
// itself in parentheses so that a report can be matched to the plug-in's logs.
std::string StatusText(OSErr status);

}  // namespace cli
