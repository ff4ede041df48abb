// The host's side of scripting: descriptors held in handles of this host, the
// read and write descriptor suites over them, the handle suite, and the JSON
// text form used to record and replay steps from the command line.
#include "cli/hostlib/scripting_host.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>
#include <utility>

namespace host {

namespace {

constexpr std::uint32_t Code(const char (&c)[5]) {
  return (std::uint32_t(std::uint8_t(c[0])) << 24) | (std::uint32_t(std::uint8_t(c[1])) << 16) |
         (std::uint32_t(std::uint8_t(c[2])) << 8) | std::uint32_t(std::uint8_t(c[3]));
}

constexpr std::uint32_t kTypeInteger = Code("long");
constexpr std::uint32_t kTypeFloat = Code("doub");
constexpr std::uint32_t kTypeBoolean = Code("bool");
constexpr std::uint32_t kTypeText = Code("TEXT");
constexpr std::uint32_t kTypeEnumerated = Code("enum");

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
// Items

std::uint32_t DescriptorItem::TypeCode() const {
  switch (kind) {
    case Kind::kInteger:
      return kTypeInteger;
    case Kind::kFloat:
      return kTypeFloat;
    case Kind::kBoolean:
      return kTypeBoolean;
    case Kind::kText:
      return kTypeText;
    case Kind::kEnumerated:
      return kTypeEnumerated;
  }
  return 0;
}

DescriptorItem DescriptorItem::Integer(std::uint32_t key, std::int32_t value) {
  DescriptorItem item;
  item.key = key;
  item.kind = Kind::kInteger;
  item.integer = value;
  return item;
}

DescriptorItem DescriptorItem::Float(std::uint32_t key, double value) {
  DescriptorItem item;
  item.key = key;
  item.kind = Kind::kFloat;
  item.real = value;
  return item;
}

DescriptorItem DescriptorItem::Bool(std::uint32_t key, bool value) {
  DescriptorItem item;
  item.key = key;
  item.kind = Kind::kBoolean;
  item.boolean = value;
  return item;
}

DescriptorItem DescriptorItem::Text(std::uint32_t key, std::string value) {
  DescriptorItem item;
  item.key = key;
  item.kind = Kind::kText;
  item.text = std::move(value);
  return item;
}

DescriptorItem DescriptorItem::Enumerated(std::uint32_t key, std::uint32_t type,
                                          std::uint32_t value) {
  DescriptorItem item;
  item.key = key;
  item.kind = Kind::kEnumerated;
  item.enumType = type;
  item.enumValue = value;
  return item;
}

bool DescriptorItem::operator==(const DescriptorItem& other) const {
  if (key != other.key || kind != other.kind) return false;
  switch (kind) {
    case Kind::kInteger:
      return integer == other.integer;
    case Kind::kFloat:
      return std::bit_cast<std::uint64_t>(real) == std::bit_cast<std::uint64_t>(other.real);
    case Kind::kBoolean:
      return boolean == other.boolean;
    case Kind::kText:
      return text == other.text;
    case Kind::kEnumerated:
      return enumType == other.enumType && enumValue == other.enumValue;
  }
  return false;
}

std::uint32_t CodeFromText(const std::string& text) {
  if (text.size() != 4) return 0;
  std::uint32_t code = 0;
  for (char c : text) code = (code << 8) | std::uint8_t(c);
  return code;
}

std::string CodeToString(std::uint32_t code) {
  std::string text(4, '\0');
  for (int i = 0; i < 4; ++i) text[std::size_t(i)] = char(std::uint8_t(code >> (24 - 8 * i)));
  return text;
}

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

// ---------------------------------------------------------------------------
// JSON text form

namespace {

constexpr char kHex[] = "0123456789abcdef";

void AppendEscapedByte(std::string* out, std::uint8_t b) {
  *out += "\\u00";
  *out += kHex[b >> 4];
  *out += kHex[b & 15];
}

// Codes may hold any byte: everything outside printable ASCII is escaped, so
// that each escape stands for exactly one byte of the code.
void AppendCode(std::string* out, std::uint32_t code) {
  *out += '"';
  for (char c : CodeToString(code)) {
    const auto b = std::uint8_t(c);
    if (b == '"' || b == '\\') {
      *out += '\\';
      *out += c;
    } else if (b < 0x20 || b >= 0x7F) {
      AppendEscapedByte(out, b);
    } else {
      *out += c;
    }
  }
  *out += '"';
}

// Texts keep their bytes from 0x80 up as they are (UTF-8 stays readable);
// control characters are escaped.
void AppendText(std::string* out, const std::string& text) {
  *out += '"';
  for (char c : text) {
    const auto b = std::uint8_t(c);
    switch (c) {
      case '"':
        *out += "\\\"";
        break;
      case '\\':
        *out += "\\\\";
        break;
      case '\n':
        *out += "\\n";
        break;
      case '\r':
        *out += "\\r";
        break;
      case '\t':
        *out += "\\t";
        break;
      default:
        if (b < 0x20 || b == 0x7F) {
          AppendEscapedByte(out, b);
        } else {
          *out += c;
        }
    }
  }
  *out += '"';
}

// The shortest text that reads back as the same double; JSON has no NaN or
// infinities, so those are written as strings.
void AppendReal(std::string* out, double value) {
  if (std::isnan(value)) {
    *out += "\"nan\"";
  } else if (std::isinf(value)) {
    *out += value > 0 ? "\"inf\"" : "\"-inf\"";
  } else {
    char buffer[32];
    const std::to_chars_result r = std::to_chars(buffer, buffer + sizeof buffer, value);
    out->append(buffer, r.ptr);
  }
}

// An object's member. A struct of its own rather than a std::pair: a pair
// of the still incomplete JsonValue inside JsonValue is refused by clang.
struct JsonMember;

struct JsonValue {
  enum class Type { kNull, kBoolean, kNumber, kString, kArray, kObject };
  Type type = Type::kNull;
  bool boolean = false;
  std::string text;  // a string's bytes, or a number's token as written
  std::vector<JsonValue> elements;
  std::vector<JsonMember> members;
  std::size_t offset = 0;  // where the value starts, for messages
};

struct JsonMember {
  std::string first;  // the name
  JsonValue second;
};

class JsonParser {
 public:
  explicit JsonParser(const std::string& text) : text_(text) {}

  bool ParseDocument(JsonValue* value) {
    SkipSpace();
    if (!ParseValue(value, 0)) return false;
    SkipSpace();
    if (position_ != text_.size()) return Fail("unexpected text after the end");
    return true;
  }
  const std::string& Error() const { return error_; }

 private:
  // Deeper nesting than any descriptor needs is refused rather than recursed into.
  static constexpr int kMaxDepth = 32;

  bool Fail(const std::string& message) {
    if (error_.empty()) error_ = message + " at offset " + std::to_string(position_);
    return false;
  }

  void SkipSpace() {
    while (position_ < text_.size() && (text_[position_] == ' ' || text_[position_] == '\t' ||
                                        text_[position_] == '\n' || text_[position_] == '\r')) {
      ++position_;
    }
  }

  bool Literal(const char* word) {
    const std::size_t length = std::strlen(word);
    if (text_.compare(position_, length, word) != 0) return Fail("unknown literal");
    position_ += length;
    return true;
  }

  bool ParseValue(JsonValue* value, int depth) {
    if (depth > kMaxDepth) return Fail("nesting too deep");
    if (position_ >= text_.size()) return Fail("unexpected end of text");
    value->offset = position_;
    const char c = text_[position_];
    if (c == '{') return ParseObject(value, depth);
    if (c == '[') return ParseArray(value, depth);
    if (c == '"') {
      value->type = JsonValue::Type::kString;
      return ParseString(&value->text);
    }
    if (c == 't') {
      value->type = JsonValue::Type::kBoolean;
      value->boolean = true;
      return Literal("true");
    }
    if (c == 'f') {
      value->type = JsonValue::Type::kBoolean;
      return Literal("false");
    }
    if (c == 'n') {
      value->type = JsonValue::Type::kNull;
      return Literal("null");
    }
    if (c == '-' || (c >= '0' && c <= '9')) return ParseNumber(value);
    return Fail("unexpected character");
  }

  bool Digits() {
    const std::size_t start = position_;
    while (position_ < text_.size() && text_[position_] >= '0' && text_[position_] <= '9') {
      ++position_;
    }
    return position_ > start;
  }

  bool ParseNumber(JsonValue* value) {
    const std::size_t start = position_;
    if (text_[position_] == '-') ++position_;
    if (position_ < text_.size() && text_[position_] == '0') {
      ++position_;
    } else if (!Digits()) {
      return Fail("malformed number");
    }
    if (position_ < text_.size() && text_[position_] == '.') {
      ++position_;
      if (!Digits()) return Fail("malformed number");
    }
    if (position_ < text_.size() && (text_[position_] == 'e' || text_[position_] == 'E')) {
      ++position_;
      if (position_ < text_.size() && (text_[position_] == '+' || text_[position_] == '-')) {
        ++position_;
      }
      if (!Digits()) return Fail("malformed number");
    }
    value->type = JsonValue::Type::kNumber;
    value->text = text_.substr(start, position_ - start);
    return true;
  }

  bool Hex4(std::uint32_t* unit) {
    if (text_.size() - position_ < 4) return Fail("short \\u escape");
    *unit = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text_[position_++];
      std::uint32_t digit;
      if (c >= '0' && c <= '9') {
        digit = std::uint32_t(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = std::uint32_t(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = std::uint32_t(c - 'A' + 10);
      } else {
        return Fail("bad \\u escape");
      }
      *unit = (*unit << 4) | digit;
    }
    return true;
  }

  // A \u escape becomes UTF-8, except that an escape below \u0100 is kept as
  // a marked single byte: a code takes it back as that byte, a text as the
  // character's UTF-8 (see StringAsText and StringAsCode).
  static void AppendUtf8(std::string* out, std::uint32_t point) {
    if (point < 0x80) {
      *out += char(point);
    } else if (point < 0x800) {
      *out += char(0xC0 | (point >> 6));
      *out += char(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
      *out += char(0xE0 | (point >> 12));
      *out += char(0x80 | ((point >> 6) & 0x3F));
      *out += char(0x80 | (point & 0x3F));
    } else {
      *out += char(0xF0 | (point >> 18));
      *out += char(0x80 | ((point >> 12) & 0x3F));
      *out += char(0x80 | ((point >> 6) & 0x3F));
      *out += char(0x80 | (point & 0x3F));
    }
  }

  bool ParseString(std::string* out) {
    ++position_;  // the opening quote
    out->clear();
    while (true) {
      if (position_ >= text_.size()) return Fail("unterminated string");
      const char c = text_[position_++];
      if (c == '"') return true;
      if (std::uint8_t(c) < 0x20) return Fail("control character in string");
      if (c != '\\') {
        *out += c;
        continue;
      }
      if (position_ >= text_.size()) return Fail("unterminated string");
      const char e = text_[position_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          *out += e;
          break;
        case 'b':
          *out += '\b';
          break;
        case 'f':
          *out += '\f';
          break;
        case 'n':
          *out += '\n';
          break;
        case 'r':
          *out += '\r';
          break;
        case 't':
          *out += '\t';
          break;
        case 'u': {
          std::uint32_t unit = 0;
          if (!Hex4(&unit)) return false;
          if (unit >= 0xD800 && unit <= 0xDBFF) {
            std::uint32_t low = 0;
            if (text_.compare(position_, 2, "\\u") != 0) return Fail("lone surrogate");
            position_ += 2;
            if (!Hex4(&low)) return false;
            if (low < 0xDC00 || low > 0xDFFF) return Fail("lone surrogate");
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          } else if (unit >= 0xDC00 && unit <= 0xDFFF) {
            return Fail("lone surrogate");
          }
          if (unit <= 0xFF) {
            *out += kByteEscapeMark;
            *out += char(unit);
          } else {
            AppendUtf8(out, unit);
          }
          break;
        }
        default:
          return Fail("unknown escape");
      }
    }
  }

  bool ParseArray(JsonValue* value, int depth) {
    value->type = JsonValue::Type::kArray;
    ++position_;
    SkipSpace();
    if (position_ < text_.size() && text_[position_] == ']') {
      ++position_;
      return true;
    }
    while (true) {
      SkipSpace();
      JsonValue element;
      if (!ParseValue(&element, depth + 1)) return false;
      value->elements.push_back(std::move(element));
      SkipSpace();
      if (position_ >= text_.size()) return Fail("unterminated array");
      const char c = text_[position_++];
      if (c == ']') return true;
      if (c != ',') return Fail("expected ',' or ']'");
    }
  }

  bool ParseObject(JsonValue* value, int depth) {
    value->type = JsonValue::Type::kObject;
    ++position_;
    SkipSpace();
    if (position_ < text_.size() && text_[position_] == '}') {
      ++position_;
      return true;
    }
    while (true) {
      SkipSpace();
      if (position_ >= text_.size() || text_[position_] != '"') return Fail("expected a name");
      std::string name;
      if (!ParseString(&name)) return false;
      for (const auto& member : value->members) {
        if (member.first == name) return Fail("duplicate member");
      }
      SkipSpace();
      if (position_ >= text_.size() || text_[position_] != ':') return Fail("expected ':'");
      ++position_;
      SkipSpace();
      JsonValue member;
      if (!ParseValue(&member, depth + 1)) return false;
      value->members.push_back(JsonMember{std::move(name), std::move(member)});
      SkipSpace();
      if (position_ >= text_.size()) return Fail("unterminated object");
      const char c = text_[position_++];
      if (c == '}') return true;
      if (c != ',') return Fail("expected ',' or '}'");
    }
  }

 public:
  // Precedes a byte that a \u0000 to \u00ff escape stood for; unambiguous
  // because a raw control character is refused inside a JSON string.
  static constexpr char kByteEscapeMark = '\0';

 private:
  const std::string& text_;
  std::size_t position_ = 0;
  std::string error_;
};

// A parsed string as text: a marked byte stands for its character, in UTF-8.
std::string StringAsText(const std::string& parsed) {
  std::string out;
  for (std::size_t i = 0; i < parsed.size(); ++i) {
    if (parsed[i] == JsonParser::kByteEscapeMark && i + 1 < parsed.size()) {
      const auto point = std::uint8_t(parsed[++i]);
      if (point < 0x80) {
        out += char(point);
      } else {
        out += char(0xC0 | (point >> 6));
        out += char(0x80 | (point & 0x3F));
      }
    } else {
      out += parsed[i];
    }
  }
  return out;
}

// A parsed string as a code: exactly four bytes, each escape one byte.
bool StringAsCode(const std::string& parsed, std::uint32_t* code) {
  std::string bytes;
  for (std::size_t i = 0; i < parsed.size(); ++i) {
    if (parsed[i] == JsonParser::kByteEscapeMark && i + 1 < parsed.size()) ++i;
    bytes += parsed[i];
  }
  if (bytes.size() != 4) return false;
  *code = CodeFromText(bytes);
  return true;
}

class ItemsReader {
 public:
  bool Fail(const JsonValue& where, const std::string& message) {
    error = message + " at offset " + std::to_string(where.offset);
    return false;
  }

  // The members of `object` as named in `allowed`; anything else is refused so
  // that a misspelt name does not pass unnoticed.
  bool Members(const JsonValue& object, std::initializer_list<const char*> allowed,
               std::map<std::string, const JsonValue*>* found) {
    if (object.type != JsonValue::Type::kObject) return Fail(object, "expected an object");
    for (const auto& [written, value] : object.members) {
      const std::string name = StringAsText(written);
      const bool known =
          std::any_of(allowed.begin(), allowed.end(), [&name](const char* a) { return name == a; });
      if (!known) return Fail(value, "unknown member \"" + name + "\"");
      if (!found->emplace(name, &value).second) return Fail(value, "duplicate member");
    }
    return true;
  }

  bool Required(const JsonValue& object, const std::map<std::string, const JsonValue*>& found,
                const char* name, const JsonValue** value) {
    auto it = found.find(name);
    if (it == found.end()) return Fail(object, std::string("missing \"") + name + "\"");
    *value = it->second;
    return true;
  }

  bool CodeOf(const JsonValue& value, const char* what, std::uint32_t* code) {
    if (value.type != JsonValue::Type::kString || !StringAsCode(value.text, code)) {
      return Fail(value, std::string(what) + " must be a 4-character code");
    }
    return true;
  }

  // An integer written without fraction or exponent, within [low, high].
  bool IntegerOf(const JsonValue& value, std::int64_t low, std::int64_t high, std::int64_t* out) {
    if (value.type != JsonValue::Type::kNumber) return Fail(value, "expected an integer");
    const char* first = value.text.data();
    const char* last = first + value.text.size();
    std::int64_t v = 0;
    const std::from_chars_result r = std::from_chars(first, last, v);
    if (r.ec != std::errc() || r.ptr != last) return Fail(value, "expected an integer");
    if (v < low || v > high) return Fail(value, "integer out of range");
    *out = v;
    return true;
  }

  bool RealOf(const JsonValue& value, double* out) {
    if (value.type == JsonValue::Type::kString) {
      if (value.text == "nan") {
        *out = std::numeric_limits<double>::quiet_NaN();
      } else if (value.text == "inf") {
        *out = std::numeric_limits<double>::infinity();
      } else if (value.text == "-inf") {
        *out = -std::numeric_limits<double>::infinity();
      } else {
        return Fail(value, "expected a number");
      }
      return true;
    }
    if (value.type != JsonValue::Type::kNumber) return Fail(value, "expected a number");
    const char* first = value.text.data();
    const char* last = first + value.text.size();
    double v = 0;
    const std::from_chars_result r = std::from_chars(first, last, v);
    if (r.ec != std::errc() || r.ptr != last) return Fail(value, "number out of range");
    *out = v;
    return true;
  }

  bool Item(const JsonValue& object, DescriptorItem* item) {
    std::map<std::string, const JsonValue*> found;
    if (!Members(object, {"key", "type", "value", "enumType"}, &found)) return false;
    const JsonValue* keyValue = nullptr;
    const JsonValue* typeValue = nullptr;
    const JsonValue* value = nullptr;
    if (!Required(object, found, "key", &keyValue) ||
        !Required(object, found, "type", &typeValue) || !Required(object, found, "value", &value)) {
      return false;
    }
    std::uint32_t key = 0;
    std::uint32_t type = 0;
    if (!CodeOf(*keyValue, "\"key\"", &key) || !CodeOf(*typeValue, "\"type\"", &type)) {
      return false;
    }
    const bool enumerated = type == kTypeEnumerated;
    if (!enumerated && found.count("enumType") != 0) {
      return Fail(*found["enumType"], "\"enumType\" belongs to type \"enum\" only");
    }
    if (type == kTypeInteger) {
      std::int64_t v = 0;
      if (!IntegerOf(*value, std::numeric_limits<std::int32_t>::min(),
                     std::numeric_limits<std::int32_t>::max(), &v)) {
        return false;
      }
      *item = DescriptorItem::Integer(key, std::int32_t(v));
    } else if (type == kTypeFloat) {
      double v = 0;
      if (!RealOf(*value, &v)) return false;
      *item = DescriptorItem::Float(key, v);
    } else if (type == kTypeBoolean) {
      if (value->type != JsonValue::Type::kBoolean) return Fail(*value, "expected true or false");
      *item = DescriptorItem::Bool(key, value->boolean);
    } else if (type == kTypeText) {
      if (value->type != JsonValue::Type::kString) return Fail(*value, "expected a string");
      *item = DescriptorItem::Text(key, StringAsText(value->text));
    } else if (enumerated) {
      const JsonValue* enumTypeValue = nullptr;
      std::uint32_t enumType = 0;
      std::int64_t v = 0;
      if (!Required(object, found, "enumType", &enumTypeValue) ||
          !CodeOf(*enumTypeValue, "\"enumType\"", &enumType) ||
          !IntegerOf(*value, 0, std::numeric_limits<std::uint32_t>::max(), &v)) {
        return false;
      }
      *item = DescriptorItem::Enumerated(key, enumType, std::uint32_t(v));
    } else {
      return Fail(*typeValue, "unknown type (long, doub, bool, TEXT or enum)");
    }
    return true;
  }

  std::string error;
};

}  // namespace

std::string DescriptorToJson(std::uint32_t event, const std::vector<DescriptorItem>& items) {
  std::string out = "{\n  \"event\": ";
  AppendCode(&out, event);
  out += ",\n  \"items\": [";
  for (std::size_t i = 0; i < items.size(); ++i) {
    const DescriptorItem& item = items[i];
    out += i == 0 ? "\n    {\"key\": " : ",\n    {\"key\": ";
    AppendCode(&out, item.key);
    out += ", \"type\": ";
    AppendCode(&out, item.TypeCode());
    if (item.kind == DescriptorItem::Kind::kEnumerated) {
      out += ", \"enumType\": ";
      AppendCode(&out, item.enumType);
    }
    out += ", \"value\": ";
    switch (item.kind) {
      case DescriptorItem::Kind::kInteger:
        out += std::to_string(item.integer);
        break;
      case DescriptorItem::Kind::kFloat:
        AppendReal(&out, item.real);
        break;
      case DescriptorItem::Kind::kBoolean:
        out += item.boolean ? "true" : "false";
        break;
      case DescriptorItem::Kind::kText:
        AppendText(&out, item.text);
        break;
      case DescriptorItem::Kind::kEnumerated:
        out += std::to_string(item.enumValue);
        break;
    }
    out += '}';
  }
  out += items.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

bool DescriptorFromJson(const std::string& json, std::uint32_t* event,
                        std::vector<DescriptorItem>* items, std::string* error) {
  auto fail = [error](const std::string& message) {
    if (error != nullptr) *error = message;
    return false;
  };
  JsonParser parser(json);
  JsonValue document;
  if (!parser.ParseDocument(&document)) return fail(parser.Error());

  ItemsReader reader;
  std::map<std::string, const JsonValue*> found;
  const JsonValue* eventValue = nullptr;
  const JsonValue* itemsValue = nullptr;
  std::uint32_t eventCode = 0;
  if (!reader.Members(document, {"event", "items"}, &found) ||
      !reader.Required(document, found, "event", &eventValue) ||
      !reader.Required(document, found, "items", &itemsValue) ||
      !reader.CodeOf(*eventValue, "\"event\"", &eventCode)) {
    return fail(reader.error);
  }
  if (itemsValue->type != JsonValue::Type::kArray) {
    reader.Fail(*itemsValue, "\"items\" must be an array");
    return fail(reader.error);
  }
  std::vector<DescriptorItem> parsed;
  for (const JsonValue& element : itemsValue->elements) {
    DescriptorItem item;
    if (!reader.Item(element, &item)) return fail(reader.error);
    parsed.push_back(std::move(item));
  }
  if (event != nullptr) *event = eventCode;
  if (items != nullptr) *items = std::move(parsed);
  return true;
}

}  // namespace host
