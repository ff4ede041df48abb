// The host's side of scripting: descriptors (ordered lists of keyed, typed
// items), the read and write descriptor suites that a plug-in uses to look
// into and build them, and the handle suite. A ScriptingHost plays back a
// recorded step (hands the plug-in a descriptor with playInfo 0 or 1) and
// takes the new descriptor that the plug-in leaves after its run.
//
// The suites' procedures take no context, as in the image editor's interface,
// so they act on the one ScriptingHost that is current: the most recently
// constructed one still alive. Not thread-safe, like the plug-in's host.
//
// Its items (descriptor_item.h) have a JSON text form in action files
// (action_file.h).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli/hostlib/descriptor_item.h"
#include "interface/filter_record.h"

namespace host {

// Result codes of the suites.
inline constexpr OSErr kDescriptorWrongType = -1700;    // the item cannot be read that way
inline constexpr OSErr kDescriptorNoItem = -1701;       // no current item, or bad arguments
inline constexpr OSErr kDescriptorUnsupported = -1708;  // a procedure this host leaves idle
inline constexpr OSErr kHandleUnknown = -109;           // not a handle of this host

class ScriptingHost {
 public:
  ScriptingHost();
  ~ScriptingHost();
  ScriptingHost(const ScriptingHost&) = delete;
  ScriptingHost& operator=(const ScriptingHost&) = delete;

  // Points the record's descriptorParameters and handleProcs at this host.
  void Attach(FilterRecord* record);

  // A recorded step to play back: the plug-in finds `items` in its descriptor.
  // playInfo is plugInDialogOptional (0, no dialog) or plugInDialogDisplay (1).
  void SetPlayback(const std::vector<DescriptorItem>& items, std::int16_t playInfo);
  // A run that is not played back: no descriptor, dialogs shown.
  void ClearPlayback();

  // The descriptor that the plug-in left (decoded), or false when there is none.
  bool RecordedItems(std::vector<DescriptorItem>* items) const;

  PIDescriptorParameters& Parameters() { return parameters_; }
  ReadDescriptorProcs& ReadProcs() { return readProcs_; }
  WriteDescriptorProcs& WriteProcs() { return writeProcs_; }
  HandleProcs& Handles() { return handleProcs_; }

  // Handles of this host: the master record's first field points at the data.
  Handle NewHandle(std::int32_t size);
  void DisposeHandle(Handle h);
  bool OwnsHandle(Handle h) const;
  std::int32_t HandleSize(Handle h) const;  // -1 for a handle not of this host
  OSErr SetHandleSize(Handle h, std::int32_t size);

  // Descriptors as handles of this host.
  Handle EncodeDescriptor(const std::vector<DescriptorItem>& items);
  bool DecodeDescriptor(Handle h, std::vector<DescriptorItem>* items) const;

  // Bookkeeping the tests look at.
  std::size_t LiveHandles() const { return handles_.size(); }
  std::size_t OpenReaders() const { return readers_.size(); }
  std::size_t OpenWriters() const { return writers_.size(); }
  const std::vector<std::uint32_t>& LastKeyArray() const { return lastKeys_; }
  // Dispose calls with a handle that is not (or no longer) one of this host's.
  int ForeignDisposals() const { return foreignDisposals_; }

  static ScriptingHost* Current();

  // Internal to the suites: an open reader walks the items of a decoded
  // descriptor; an open writer gathers items until it is closed.
  struct Reader {
    std::vector<DescriptorItem> items;
    std::size_t next = 0;
    const DescriptorItem* current = nullptr;  // the item the last key named
  };
  struct Writer {
    std::vector<DescriptorItem> items;
  };
  // Null when the descriptor is null or not a descriptor of this host.
  Reader* OpenReader(Handle descriptor, const std::uint32_t* keys);
  // kDescriptorNoItem for a reader that is not open.
  OSErr CloseReader(Reader* reader);
  bool IsOpenReader(const Reader* reader) const;
  Writer* OpenWriter();
  // Encodes the writer's items into a new descriptor handle and forgets the
  // writer; kDescriptorNoItem (and nothing created) for a writer that is not
  // open or a null `descriptor`.
  OSErr CloseWriter(Writer* writer, Handle* descriptor);
  bool IsOpenWriter(const Writer* writer) const;

 private:
  struct HandleRecord;

  PIDescriptorParameters parameters_{};
  ReadDescriptorProcs readProcs_{};
  WriteDescriptorProcs writeProcs_{};
  HandleProcs handleProcs_{};
  std::map<Handle, std::unique_ptr<HandleRecord>> handles_;
  std::vector<std::unique_ptr<Reader>> readers_;
  std::vector<std::unique_ptr<Writer>> writers_;
  int foreignDisposals_ = 0;
  std::vector<std::uint32_t> lastKeys_;
};

}  // namespace host
