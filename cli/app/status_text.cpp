// Result codes of a run as phrases: the plug-in's file, memory and cancel
// codes, and the host library's own codes.
#include "cli/app/status_text.h"

#include "cli/hostlib/filter_host.h"

namespace cli {
namespace {

const char* Phrase(OSErr status) {
  switch (status) {
    case noErr:
      return "done";
    case dskFulErr:
      return "the disk is full";
    case ioErr:
      return "a file could not be read or written, or is in use by another run";
    case bdNamErr:
      return "a file name is not valid (check the redirect file TRUXPath.TXT)";
    case eofErr:
      return "a file ended early";
    case posErr:
      return "a file position is out of range";
    case tmfoErr:
      return "too many files are open";
    case fnfErr:
      return "a file or folder was not found";
    case fLckdErr:
      return "a file is locked by another program";
    case vLckdErr:
      return "the folder is on a read-only disk";
    case permErr:
      return "permission to open a file was refused";
    case notAFileErr:
      return "a file is a symbolic link, and links are not followed (use TRUXPath.TXT to put the "
             "files elsewhere)";
    case opWrErr:
      return "a file is in use by another run";
    case rfNumErr:
      return "a file was used after it was closed";
    case wrPermErr:
      return "permission denied: a file or its folder cannot be written";
    case memFullErr:
      return "out of memory";
    case nilHandleErr:
      return "the plug-in released memory it did not own";
    case userCanceledErr:
      return "cancelled";
    case filterBadParameters:
      // This host checks pictures and selectors itself; what is left is a run
      // without the dialog that names no operation, none ever confirmed.
      return "the plug-in refused its parameters; without the dialog this means that no "
             "operation was named (give one with --op or an action)";
    case host::kHostNoPlugin:
      return "no plug-in entry point to call";
    case host::kHostRunaway:
      return "the plug-in kept asking for rows and was stopped";
    case host::kHostBadPicture:
      return "the picture or the filter rectangle cannot be used";
    default:
      return nullptr;
  }
}

}  // namespace

std::string StatusText(OSErr status) {
  const char* phrase = Phrase(status);
  std::string text = phrase != nullptr ? phrase : "the plug-in failed";
  return text + " (" + std::to_string(status) + ")";
}

}  // namespace cli
