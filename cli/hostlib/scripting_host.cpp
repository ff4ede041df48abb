// The host's side of scripting: descriptors held in handles of this host, the
// read and write descriptor suites over them, and the handle suite.
#include "cli/hostlib/scripting_host.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

namespace host {

namespace {

// The texts a plug-in hands over in its own handle blocks are NUL-terminated
// strings of at most 513 characters.
constexpr std::size_t kForeignTextLimit = 513;

// The scripting hosts alive, most recent last; the suites act on the last.
std::vector<ScriptingHost*>& LiveHosts() {
  static std::vector<ScriptingHost*> hosts;
  return hosts;
}

// ---------------------------------------------------------------------------
// Descriptor encoding inside a handle: a count, then per item its key, kind
// and value, all in native byte order (a descriptor never leaves the process
// in this form; the JSON form is for files).

class ByteWriter {
 public:
  void Word(std::uint32_t w) { Raw(&w, sizeof w); }
  void Byte(std::uint8_t b) { bytes_.push_back(b); }
  void Real(double d) { Raw(&d, sizeof d); }
  void Raw(const void* data, std::size_t size) {
    const auto* p = static_cast<const std::uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + size);
  }
  const std::vector<std::uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
};

class ByteReader {
 public:
  ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool Word(std::uint32_t* w) { return Raw(w, sizeof *w); }
  bool Byte(std::uint8_t* b) { return Raw(b, 1); }
  bool Real(double* d) { return Raw(d, sizeof *d); }
  bool Text(std::size_t length, std::string* s) {
    if (length > size_ - position_) return false;
    s->assign(reinterpret_cast<const char*>(data_ + position_), length);
    position_ += length;
    return true;
  }
  bool AtEnd() const { return position_ == size_; }

 private:
  bool Raw(void* out, std::size_t size) {
    if (size > size_ - position_) return false;
    std::memcpy(out, data_ + position_, size);
    position_ += size;
    return true;
  }
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t position_ = 0;
};

std::vector<std::uint8_t> EncodeItems(const std::vector<DescriptorItem>& items) {
  ByteWriter w;
  w.Word(std::uint32_t(items.size()));
  for (const DescriptorItem& item : items) {
    w.Word(item.key);
    w.Byte(std::uint8_t(item.kind));
    switch (item.kind) {
      case DescriptorItem::Kind::kInteger:
        w.Word(std::uint32_t(item.integer));
        break;
      case DescriptorItem::Kind::kFloat:
        w.Real(item.real);
        break;
      case DescriptorItem::Kind::kBoolean:
        w.Byte(item.boolean ? 1 : 0);
        break;
      case DescriptorItem::Kind::kText:
        w.Word(std::uint32_t(item.text.size()));
        w.Raw(item.text.data(), item.text.size());
        break;
      case DescriptorItem::Kind::kEnumerated:
        w.Word(item.enumType);
        w.Word(item.enumValue);
        break;
    }
  }
  return w.Bytes();
}

bool DecodeItems(const std::uint8_t* data, std::size_t size, std::vector<DescriptorItem>* out) {
  ByteReader r(data, size);
  std::uint32_t count = 0;
  if (!r.Word(&count)) return false;
  std::vector<DescriptorItem> items;
  for (std::uint32_t i = 0; i < count; ++i) {
    DescriptorItem item;
    std::uint8_t kind = 0;
    if (!r.Word(&item.key) || !r.Byte(&kind)) return false;
    std::uint32_t word = 0;
    switch (kind) {
      case std::uint8_t(DescriptorItem::Kind::kInteger):
        if (!r.Word(&word)) return false;
        item = DescriptorItem::Integer(item.key, std::int32_t(word));
        break;
      case std::uint8_t(DescriptorItem::Kind::kFloat): {
        double d = 0;
        if (!r.Real(&d)) return false;
        item = DescriptorItem::Float(item.key, d);
        break;
      }
      case std::uint8_t(DescriptorItem::Kind::kBoolean): {
        std::uint8_t b = 0;
        if (!r.Byte(&b) || b > 1) return false;
        item = DescriptorItem::Bool(item.key, b != 0);
        break;
      }
      case std::uint8_t(DescriptorItem::Kind::kText): {
        std::string text;
        if (!r.Word(&word) || !r.Text(word, &text)) return false;
        item = DescriptorItem::Text(item.key, std::move(text));
        break;
      }
      case std::uint8_t(DescriptorItem::Kind::kEnumerated): {
        std::uint32_t type = 0;
        if (!r.Word(&type) || !r.Word(&word)) return false;
        item = DescriptorItem::Enumerated(item.key, type, word);
        break;
      }
      default:
        return false;
    }
    items.push_back(std::move(item));
  }
  if (!r.AtEnd()) return false;
  *out = std::move(items);
  return true;
}

// ---------------------------------------------------------------------------
// The suites' procedures: context-free, so they act on the current host.

ScriptingHost::Reader* OpenReader(ScriptingHost* h, PIReadDescriptor reader) {
  auto* r = reinterpret_cast<ScriptingHost::Reader*>(reader);
  return h != nullptr && h->IsOpenReader(r) ? r : nullptr;
}

// The current item of an open reader, or null.
const DescriptorItem* CurrentItem(PIReadDescriptor reader) {
  ScriptingHost::Reader* r = OpenReader(ScriptingHost::Current(), reader);
  return r != nullptr ? r->current : nullptr;
}

ScriptingHost::Writer* OpenWriter(PIWriteDescriptor writer) {
  ScriptingHost* h = ScriptingHost::Current();
  auto* w = reinterpret_cast<ScriptingHost::Writer*>(writer);
  return h != nullptr && h->IsOpenWriter(w) ? w : nullptr;
}

// Handle suite.
Handle ProcNewHandle(std::int32_t size) {
  ScriptingHost* h = ScriptingHost::Current();
  return h != nullptr ? h->NewHandle(size) : nullptr;
}
void ProcDisposeHandle(Handle handle) {
  if (ScriptingHost* h = ScriptingHost::Current()) h->DisposeHandle(handle);
}
std::int32_t ProcGetHandleSize(Handle handle) {
  ScriptingHost* h = ScriptingHost::Current();
  return h != nullptr ? h->HandleSize(handle) : -1;
}
OSErr ProcSetHandleSize(Handle handle, std::int32_t size) {
  ScriptingHost* h = ScriptingHost::Current();
  return h != nullptr ? h->SetHandleSize(handle, size) : kHandleUnknown;
}
Ptr ProcLockHandle(Handle handle, Boolean) {
  ScriptingHost* h = ScriptingHost::Current();
  return h != nullptr && h->OwnsHandle(handle) ? *handle : nullptr;
}
void ProcUnlockHandle(Handle) {}

// Read suite.
PIReadDescriptor ProcOpenRead(PIDescriptorHandle descriptor, DescriptorKeyIDArray keys) {
  ScriptingHost* h = ScriptingHost::Current();
  if (h == nullptr) return nullptr;
  return reinterpret_cast<PIReadDescriptor>(h->OpenReader(descriptor, keys));
}

OSErr ProcCloseRead(PIReadDescriptor reader) {
  ScriptingHost* h = ScriptingHost::Current();
  if (h == nullptr) return kDescriptorNoItem;
  return h->CloseReader(reinterpret_cast<ScriptingHost::Reader*>(reader));
}

Boolean ProcGetKey(PIReadDescriptor reader, DescriptorKeyID* key, DescType* type,
                   std::int32_t* flags) {
  ScriptingHost::Reader* r = OpenReader(ScriptingHost::Current(), reader);
  if (r == nullptr) return false;
  if (r->next >= r->items.size()) {
    r->current = nullptr;
    return false;
  }
  r->current = &r->items[r->next++];
  if (key != nullptr) *key = r->current->key;
  if (type != nullptr) *type = r->current->TypeCode();
  if (flags != nullptr) *flags = 0;
  return true;
}

OSErr ProcGetInteger(PIReadDescriptor reader, std::int32_t* value) {
  const DescriptorItem* item = CurrentItem(reader);
  if (item == nullptr || value == nullptr) return kDescriptorNoItem;
  if (item->kind != DescriptorItem::Kind::kInteger) return kDescriptorWrongType;
  *value = item->integer;
  return noErr;
}

// A number: a float, or an integer widened.
bool ItemAsReal(const DescriptorItem& item, double* value) {
  if (item.kind == DescriptorItem::Kind::kFloat) {
    *value = item.real;
    return true;
  }
  if (item.kind == DescriptorItem::Kind::kInteger) {
    *value = item.integer;
    return true;
  }
  return false;
}

OSErr ProcGetFloat(PIReadDescriptor reader, double* value) {
  const DescriptorItem* item = CurrentItem(reader);
  if (item == nullptr || value == nullptr) return kDescriptorNoItem;
  return ItemAsReal(*item, value) ? OSErr(noErr) : kDescriptorWrongType;
}

OSErr ProcGetBoolean(PIReadDescriptor reader, Boolean* value) {
  const DescriptorItem* item = CurrentItem(reader);
  if (item == nullptr || value == nullptr) return kDescriptorNoItem;
  if (item->kind != DescriptorItem::Kind::kBoolean) return kDescriptorWrongType;
  *value = item->boolean ? 1 : 0;
  return noErr;
}

// The text in a new handle of this host: the characters, no terminator.
OSErr ProcGetText(PIReadDescriptor reader, Handle* value) {
  const DescriptorItem* item = CurrentItem(reader);
  if (item == nullptr || value == nullptr) return kDescriptorNoItem;
  if (item->kind != DescriptorItem::Kind::kText) return kDescriptorWrongType;
  if (item->text.size() > std::size_t(std::numeric_limits<std::int32_t>::max())) {
    return kDescriptorWrongType;
  }
  Handle h = ScriptingHost::Current()->NewHandle(std::int32_t(item->text.size()));
  if (h == nullptr) return memFullErr;
  if (!item->text.empty()) std::memcpy(*h, item->text.data(), item->text.size());
  *value = h;
  return noErr;
}

OSErr ProcGetEnumerated(PIReadDescriptor reader, DescriptorEnumID* value) {
  const DescriptorItem* item = CurrentItem(reader);
  if (item == nullptr || value == nullptr) return kDescriptorNoItem;
  if (item->kind != DescriptorItem::Kind::kEnumerated) return kDescriptorWrongType;
  *value = item->enumValue;
  return noErr;
}

OSErr ProcGetString(PIReadDescriptor reader, unsigned char* str255) {
  const DescriptorItem* item = CurrentItem(reader);
  if (item == nullptr || str255 == nullptr) return kDescriptorNoItem;
  if (item->kind != DescriptorItem::Kind::kText) return kDescriptorWrongType;
  const std::size_t length = std::min<std::size_t>(item->text.size(), 255);
  str255[0] = static_cast<unsigned char>(length);
  std::memcpy(str255 + 1, item->text.data(), length);
  return noErr;
}

OSErr ProcGetPinnedInteger(PIReadDescriptor reader, std::int32_t minimum, std::int32_t maximum,
                           std::int32_t* value) {
  std::int32_t v = 0;
  if (OSErr status = ProcGetInteger(reader, &v); status != noErr) return status;
  if (minimum > maximum) return kDescriptorNoItem;
  *value = std::clamp(v, minimum, maximum);
  return noErr;
}

OSErr ProcGetPinnedFloat(PIReadDescriptor reader, const double* minimum, const double* maximum,
                         double* value) {
  double v = 0;
  if (OSErr status = ProcGetFloat(reader, &v); status != noErr) return status;
  if (minimum != nullptr && v < *minimum) v = *minimum;
  if (maximum != nullptr && v > *maximum) v = *maximum;
  *value = v;
  return noErr;
}

// Value kinds this host does not record.
OSErr ProcGetUnitFloat(PIReadDescriptor, DescriptorUnitID*, double*) {
  return kDescriptorUnsupported;
}
OSErr ProcGetAlias(PIReadDescriptor, Handle*) {
  return kDescriptorUnsupported;
}
OSErr ProcGetClass(PIReadDescriptor, DescType*) {
  return kDescriptorUnsupported;
}
OSErr ProcGetSimpleReference(PIReadDescriptor, void*) {
  return kDescriptorUnsupported;
}
OSErr ProcGetObject(PIReadDescriptor, DescType*, PIDescriptorHandle*) {
  return kDescriptorUnsupported;
}
OSErr ProcGetCount(PIReadDescriptor, std::uint32_t*) {
  return kDescriptorUnsupported;
}
OSErr ProcGetPinnedUnitFloat(PIReadDescriptor, const double*, const double*, DescriptorUnitID*,
                             double*) {
  return kDescriptorUnsupported;
}

// Write suite.
PIWriteDescriptor ProcOpenWrite() {
  ScriptingHost* h = ScriptingHost::Current();
  return h != nullptr ? reinterpret_cast<PIWriteDescriptor>(h->OpenWriter()) : nullptr;
}

OSErr ProcCloseWrite(PIWriteDescriptor writer, PIDescriptorHandle* descriptor) {
  ScriptingHost* h = ScriptingHost::Current();
  if (h == nullptr) return kDescriptorNoItem;
  return h->CloseWriter(reinterpret_cast<ScriptingHost::Writer*>(writer), descriptor);
}

OSErr Put(PIWriteDescriptor writer, DescriptorItem item) {
  ScriptingHost::Writer* w = OpenWriter(writer);
  if (w == nullptr) return kDescriptorNoItem;
  w->items.push_back(std::move(item));
  return noErr;
}

OSErr ProcPutInteger(PIWriteDescriptor writer, DescriptorKeyID key, std::int32_t value) {
  return Put(writer, DescriptorItem::Integer(key, value));
}
OSErr ProcPutFloat(PIWriteDescriptor writer, DescriptorKeyID key, const double* value) {
  if (value == nullptr) return kDescriptorNoItem;
  return Put(writer, DescriptorItem::Float(key, *value));
}
OSErr ProcPutBoolean(PIWriteDescriptor writer, DescriptorKeyID key, Boolean value) {
  return Put(writer, DescriptorItem::Bool(key, value != 0));
}

// A text handle of this host holds exactly its characters (a terminator, if
// the plug-in put one, ends the text). A handle the plug-in made itself has no
// size this host can ask for: it holds a terminated string of the plug-in's
// bounded length.
OSErr ProcPutText(PIWriteDescriptor writer, DescriptorKeyID key, Handle text) {
  if (text == nullptr || OpenWriter(writer) == nullptr) return kDescriptorNoItem;
  ScriptingHost* h = ScriptingHost::Current();
  const char* data = *text;
  std::size_t length = 0;
  if (h->OwnsHandle(text)) {
    length = std::size_t(h->HandleSize(text));
    if (data != nullptr) length = std::find(data, data + length, '\0') - data;
  } else if (data != nullptr) {
    while (length < kForeignTextLimit && data[length] != '\0') ++length;
  }
  return Put(writer, DescriptorItem::Text(key, std::string(data != nullptr ? data : "", length)));
}

OSErr ProcPutEnumerated(PIWriteDescriptor writer, DescriptorKeyID key, DescType type,
                        DescriptorEnumID value) {
  return Put(writer, DescriptorItem::Enumerated(key, type, value));
}

OSErr ProcPutString(PIWriteDescriptor writer, DescriptorKeyID key, const unsigned char* str255) {
  if (str255 == nullptr) return kDescriptorNoItem;
  return Put(writer,
             DescriptorItem::Text(key, std::string(reinterpret_cast<const char*>(str255 + 1),
                                                   std::size_t(str255[0]))));
}

OSErr ProcPutUnitFloat(PIWriteDescriptor, DescriptorKeyID, DescriptorUnitID, const double*) {
  return kDescriptorUnsupported;
}
OSErr ProcPutAlias(PIWriteDescriptor, DescriptorKeyID, Handle) {
  return kDescriptorUnsupported;
}
OSErr ProcPutClass(PIWriteDescriptor, DescriptorKeyID, DescType) {
  return kDescriptorUnsupported;
}
OSErr ProcPutSimpleReference(PIWriteDescriptor, DescriptorKeyID, const void*) {
  return kDescriptorUnsupported;
}
OSErr ProcPutObject(PIWriteDescriptor, DescriptorKeyID, DescType, PIDescriptorHandle) {
  return kDescriptorUnsupported;
}
OSErr ProcPutCount(PIWriteDescriptor, DescriptorKeyID, std::uint32_t) {
  return kDescriptorUnsupported;
}
OSErr ProcPutScopedClass(PIWriteDescriptor, DescriptorKeyID, DescType) {
  return kDescriptorUnsupported;
}
OSErr ProcPutScopedObject(PIWriteDescriptor, DescriptorKeyID, DescType, PIDescriptorHandle) {
  return kDescriptorUnsupported;
}

}  // namespace

// ---------------------------------------------------------------------------
// The host

struct ScriptingHost::HandleRecord {
  char* data = nullptr;  // the master pointer: a Handle points here
  std::vector<char> bytes;
  std::int32_t size = 0;

  void Resize(std::int32_t newSize) {
    // At least one byte, so that even an empty handle has a data address.
    bytes.resize(std::size_t(std::max(newSize, 1)), '\0');
    size = newSize;
    data = bytes.data();
  }
};

ScriptingHost::ScriptingHost() {
  handleProcs_.handleProcsVersion = 1;
  handleProcs_.numHandleProcs = 6;
  handleProcs_.newProc = ProcNewHandle;
  handleProcs_.disposeProc = ProcDisposeHandle;
  handleProcs_.getSizeProc = ProcGetHandleSize;
  handleProcs_.setSizeProc = ProcSetHandleSize;
  handleProcs_.lockProc = ProcLockHandle;
  handleProcs_.unlockProc = ProcUnlockHandle;

  readProcs_.readDescriptorProcsVersion = 0;
  readProcs_.numReadDescriptorProcs = 18;
  readProcs_.openReadDescriptorProc = ProcOpenRead;
  readProcs_.closeReadDescriptorProc = ProcCloseRead;
  readProcs_.getKeyProc = ProcGetKey;
  readProcs_.getIntegerProc = ProcGetInteger;
  readProcs_.getFloatProc = ProcGetFloat;
  readProcs_.getUnitFloatProc = ProcGetUnitFloat;
  readProcs_.getBooleanProc = ProcGetBoolean;
  readProcs_.getTextProc = ProcGetText;
  readProcs_.getAliasProc = ProcGetAlias;
  readProcs_.getEnumeratedProc = ProcGetEnumerated;
  readProcs_.getClassProc = ProcGetClass;
  readProcs_.getSimpleReferenceProc = ProcGetSimpleReference;
  readProcs_.getObjectProc = ProcGetObject;
  readProcs_.getCountProc = ProcGetCount;
  readProcs_.getStringProc = ProcGetString;
  readProcs_.getPinnedIntegerProc = ProcGetPinnedInteger;
  readProcs_.getPinnedFloatProc = ProcGetPinnedFloat;
  readProcs_.getPinnedUnitFloatProc = ProcGetPinnedUnitFloat;

  writeProcs_.writeDescriptorProcsVersion = 0;
  writeProcs_.numWriteDescriptorProcs = 16;
  writeProcs_.openWriteDescriptorProc = ProcOpenWrite;
  writeProcs_.closeWriteDescriptorProc = ProcCloseWrite;
  writeProcs_.putIntegerProc = ProcPutInteger;
  writeProcs_.putFloatProc = ProcPutFloat;
  writeProcs_.putUnitFloatProc = ProcPutUnitFloat;
  writeProcs_.putBooleanProc = ProcPutBoolean;
  writeProcs_.putTextProc = ProcPutText;
  writeProcs_.putAliasProc = ProcPutAlias;
  writeProcs_.putEnumeratedProc = ProcPutEnumerated;
  writeProcs_.putClassProc = ProcPutClass;
  writeProcs_.putSimpleReferenceProc = ProcPutSimpleReference;
  writeProcs_.putObjectProc = ProcPutObject;
  writeProcs_.putCountProc = ProcPutCount;
  writeProcs_.putStringProc = ProcPutString;
  writeProcs_.putScopedClassProc = ProcPutScopedClass;
  writeProcs_.putScopedObjectProc = ProcPutScopedObject;

  parameters_.descriptorParametersVersion = 0;
  parameters_.playInfo = plugInDialogDisplay;
  parameters_.recordInfo = plugInDialogDisplay;
  parameters_.descriptor = nullptr;
  parameters_.readDescriptorProcs = &readProcs_;
  parameters_.writeDescriptorProcs = &writeProcs_;

  LiveHosts().push_back(this);
}

ScriptingHost::~ScriptingHost() {
  std::vector<ScriptingHost*>& hosts = LiveHosts();
  hosts.erase(std::remove(hosts.begin(), hosts.end(), this), hosts.end());
}

ScriptingHost* ScriptingHost::Current() {
  const std::vector<ScriptingHost*>& hosts = LiveHosts();
  return hosts.empty() ? nullptr : hosts.back();
}

void ScriptingHost::Attach(FilterRecord* record) {
  if (record == nullptr) return;
  record->descriptorParameters = &parameters_;
  record->handleProcs = &handleProcs_;
}

void ScriptingHost::SetPlayback(const std::vector<DescriptorItem>& items, std::int16_t playInfo) {
  DisposeHandle(parameters_.descriptor);
  parameters_.descriptor = EncodeDescriptor(items);
  parameters_.playInfo = playInfo;
  parameters_.recordInfo = plugInDialogDisplay;
}

void ScriptingHost::ClearPlayback() {
  DisposeHandle(parameters_.descriptor);
  parameters_.descriptor = nullptr;
  parameters_.playInfo = plugInDialogDisplay;
  parameters_.recordInfo = plugInDialogDisplay;
}

bool ScriptingHost::RecordedItems(std::vector<DescriptorItem>* items) const {
  if (parameters_.descriptor == nullptr) return false;
  return DecodeDescriptor(parameters_.descriptor, items);
}

Handle ScriptingHost::NewHandle(std::int32_t size) {
  if (size < 0) return nullptr;
  auto record = std::make_unique<HandleRecord>();
  record->Resize(size);
  Handle h = &record->data;
  handles_.emplace(h, std::move(record));
  return h;
}

void ScriptingHost::DisposeHandle(Handle h) {
  if (h == nullptr) return;
  if (handles_.erase(h) == 0) ++foreignDisposals_;
}

bool ScriptingHost::OwnsHandle(Handle h) const {
  return h != nullptr && handles_.count(h) != 0;
}

std::int32_t ScriptingHost::HandleSize(Handle h) const {
  auto it = handles_.find(h);
  return it != handles_.end() ? it->second->size : -1;
}

OSErr ScriptingHost::SetHandleSize(Handle h, std::int32_t size) {
  auto it = handles_.find(h);
  if (it == handles_.end()) return kHandleUnknown;
  if (size < 0) return kDescriptorNoItem;
  it->second->Resize(size);
  return noErr;
}

Handle ScriptingHost::EncodeDescriptor(const std::vector<DescriptorItem>& items) {
  const std::vector<std::uint8_t> bytes = EncodeItems(items);
  if (bytes.size() > std::size_t(std::numeric_limits<std::int32_t>::max())) return nullptr;
  Handle h = NewHandle(std::int32_t(bytes.size()));
  if (h != nullptr) std::memcpy(*h, bytes.data(), bytes.size());
  return h;
}

bool ScriptingHost::DecodeDescriptor(Handle h, std::vector<DescriptorItem>* items) const {
  auto it = handles_.find(h);
  if (it == handles_.end() || items == nullptr) return false;
  return DecodeItems(reinterpret_cast<const std::uint8_t*>(it->second->data),
                     std::size_t(it->second->size), items);
}

ScriptingHost::Reader* ScriptingHost::OpenReader(Handle descriptor, const std::uint32_t* keys) {
  lastKeys_.clear();
  // The key array ends with a 0 key; a plug-in that forgets it must not make
  // the host read on without end.
  constexpr std::size_t kMaxKeys = 4096;
  if (keys != nullptr) {
    for (std::size_t i = 0; i < kMaxKeys && keys[i] != 0; ++i) lastKeys_.push_back(keys[i]);
  }
  auto reader = std::make_unique<Reader>();
  if (descriptor == nullptr || !DecodeDescriptor(descriptor, &reader->items)) return nullptr;
  readers_.push_back(std::move(reader));
  return readers_.back().get();
}

OSErr ScriptingHost::CloseReader(Reader* reader) {
  auto it = std::find_if(readers_.begin(), readers_.end(),
                         [reader](const std::unique_ptr<Reader>& r) { return r.get() == reader; });
  if (it == readers_.end()) return kDescriptorNoItem;
  readers_.erase(it);
  return noErr;
}

bool ScriptingHost::IsOpenReader(const Reader* reader) const {
  return reader != nullptr &&
         std::any_of(readers_.begin(), readers_.end(),
                     [reader](const std::unique_ptr<Reader>& r) { return r.get() == reader; });
}

ScriptingHost::Writer* ScriptingHost::OpenWriter() {
  writers_.push_back(std::make_unique<Writer>());
  return writers_.back().get();
}

OSErr ScriptingHost::CloseWriter(Writer* writer, Handle* descriptor) {
  auto it = std::find_if(writers_.begin(), writers_.end(),
                         [writer](const std::unique_ptr<Writer>& w) { return w.get() == writer; });
  if (it == writers_.end()) return kDescriptorNoItem;
  std::unique_ptr<Writer> closing = std::move(*it);
  writers_.erase(it);
  if (descriptor == nullptr) return kDescriptorNoItem;
  Handle h = EncodeDescriptor(closing->items);
  if (h == nullptr) return memFullErr;
  *descriptor = h;
  return noErr;
}

bool ScriptingHost::IsOpenWriter(const Writer* writer) const {
  return writer != nullptr &&
         std::any_of(writers_.begin(), writers_.end(),
                     [writer](const std::unique_ptr<Writer>& w) { return w.get() == writer; });
}

}  // namespace host
