// Scripting read and write: moves values between the host's descriptor and the
// descriptor list. The host's answers are trusted as little as possible: every
// value read is checked against the entry's range, every local starts at the
// entry's current value (so a get call that fails changes nothing), and no
// procedure is called that the host did not supply.
#include "plugin/params/scripting.h"

#include <bit>
#include <cstring>
#include <limits>

#include "plugin/core/memory.h"
#include "plugin/core/strings.h"

namespace {

constexpr std::uint32_t kTypeText = FourCC("Pth ");
constexpr std::uint32_t kTypeBoolean = FourCC("bool");
constexpr std::uint32_t kTypeFloat = FourCC("doub");
constexpr std::uint32_t kTypeInteger = FourCC("long");
constexpr std::uint32_t kKeyUnitChoice = FourCC("unCd");
constexpr std::uint32_t kTypeUnitChoice = FourCC("UniT");

// Enumerations of this framework are named "rB" and two digits.
bool IsFrameworkEnumeration(std::uint32_t type) {
  return (type & 0xFFFF0000u) == (FourCC("rB00") & 0xFFFF0000u);
}

bool InRangeUnsigned(std::uint32_t value, std::uint32_t minimum, std::uint32_t maximum) {
  return minimum <= value && value <= maximum;
}

bool InRangeSigned(std::int32_t value, std::uint32_t minimum, std::uint32_t maximum) {
  return std::int32_t(minimum) <= value && value <= std::int32_t(maximum);
}

float WordToFloat(std::uint32_t word) {
  return std::bit_cast<float>(word);
}

// The host's double in single precision. Values beyond the float range become
// infinities (as the processor's own conversion would) without the undefined
// behaviour of converting them directly; they then fail any finite range.
float ToSingle(double value) {
  constexpr double kMax = std::numeric_limits<float>::max();
  if (value > kMax) return std::numeric_limits<float>::infinity();
  if (value < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(value);
}

PIDescriptorParameters* ParametersOf(FilterRecord* record) {
  return record != nullptr ? record->descriptorParameters : nullptr;
}

HandleProcs* HandleProcsOf(FilterRecord* record) {
  return record != nullptr ? record->handleProcs : nullptr;
}

// The host's text handle holds the characters without a terminator; its size
// says how many there are. Like every text the plug-in takes over, at most 513
// characters are kept.
void ReadText(ReadDescriptorProcs* procs, PIReadDescriptor reader, const HandleProcs* handles,
              DescriptorList list, std::int32_t index) {
  Handle text = nullptr;
  procs->getTextProc(reader, &text);
  if (text == nullptr) return;
  // Without the handle suite the text's length cannot be known (reading up to
  // a terminator that the host never wrote would run off the end), nor can
  // the handle be given back.
  if (!HandleSuiteAvailable(handles)) return;
  std::int32_t length = handles->getSizeProc(text);
  if (length < 0 || (length > 0 && *text == nullptr)) length = -1;  // unusable: keep the value
  if (length > kStringSize - 1) length = kStringSize - 1;
  char* buffer = length >= 0 ? NewString(kStringSize) : nullptr;
  StringGuard guard(buffer);
  if (buffer != nullptr) {
    if (length > 0) std::memcpy(buffer, *text, std::size_t(length));
    buffer[length] = '\0';
    SetEntryText(list, index, buffer);
  }
  DisposeHostHandle(handles, text);
}

void ReadEntry(ReadDescriptorProcs* procs, PIReadDescriptor reader, const HandleProcs* handles,
               DescriptorList list, std::int32_t index) {
  const std::uint32_t key = GetEntryKey(list, index);
  const std::uint32_t type = GetEntryType(list, index);
  const std::uint32_t minimum = GetEntryMinimum(list, index);
  const std::uint32_t maximum = GetEntryMaximum(list, index);

  if (type == kTypeText) {
    ReadText(procs, reader, handles, list, index);
  } else if (type == kTypeBoolean) {
    Boolean value = Boolean(GetEntryBool(list, index));
    procs->getBooleanProc(reader, &value);
    SetEntryLong(list, index, value);
  } else if (type == kTypeFloat) {
    double value = GetEntryFloat(list, index);
    procs->getFloatProc(reader, &value);
    const float single = ToSingle(value);
    if (WordToFloat(minimum) <= single && single <= WordToFloat(maximum)) {
      SetEntryFloat(list, index, single);
    }
  } else if (type == kTypeInteger && key == kKeyUnitChoice) {
    DescriptorEnumID value = std::uint32_t(GetEntryLong(list, index));
    procs->getEnumeratedProc(reader, &value);
    if (InRangeUnsigned(value, minimum, maximum)) SetEntryLong(list, index, std::int32_t(value));
  } else if (type == kTypeInteger) {
    std::int32_t value = GetEntryLong(list, index);
    procs->getIntegerProc(reader, &value);
    if (InRangeSigned(value, minimum, maximum)) SetEntryLong(list, index, value);
  } else if (IsFrameworkEnumeration(type)) {
    DescriptorEnumID value = std::uint32_t(GetEntryLong(list, index));
    procs->getEnumeratedProc(reader, &value);
    if (InRangeUnsigned(value, minimum, maximum)) SetEntryLong(list, index, std::int32_t(value));
  }
}

// A text goes to the host in a handle of the host's own making when it can,
// sized to the characters without a terminator (the form the host hands texts
// over in); otherwise in a plug-in handle block of 514 bytes holding a
// terminated string.
void WriteText(WriteDescriptorProcs* procs, PIWriteDescriptor writer, const HandleProcs* handles,
               std::uint32_t key, const char* text) {
  std::size_t length = text != nullptr ? std::strlen(text) : 0;
  if (length > std::size_t(kStringSize - 1)) length = kStringSize - 1;
  if (HandleSuiteAvailable(handles)) {
    Handle h = handles->newProc(std::int32_t(length));
    if (h == nullptr) return;
    // A handle without room would hand the host a size its data does not have.
    if (length > 0 && *h == nullptr) {
      handles->disposeProc(h);
      return;
    }
    if (length > 0) std::memcpy(*h, text, length);
    procs->putTextProc(writer, key, h);
    handles->disposeProc(h);
    return;
  }
  Handle h = NewHandleBlock(kStringSize);
  if (h == nullptr) return;
  CopyBounded(text, *h, kStringSize);
  procs->putTextProc(writer, key, h);
  DisposeHandleBlock(h);
}

void WriteEntry(WriteDescriptorProcs* procs, PIWriteDescriptor writer, const HandleProcs* handles,
                DescriptorList list, std::int32_t index) {
  const std::uint32_t key = GetEntryKey(list, index);
  const std::uint32_t type = GetEntryType(list, index);

  if (type == kTypeText) {
    WriteText(procs, writer, handles, key, GetEntryText(list, index));
  } else if (type == kTypeBoolean) {
    procs->putBooleanProc(writer, key, Boolean(GetEntryBool(list, index) != 0));
  } else if (type == kTypeFloat) {
    const double value = GetEntryFloat(list, index);
    procs->putFloatProc(writer, key, &value);
  } else if (type == kTypeInteger && key == kKeyUnitChoice) {
    procs->putEnumeratedProc(writer, key, kTypeUnitChoice,
                             std::uint32_t(GetEntryLong(list, index)));
  } else if (type == kTypeInteger) {
    procs->putIntegerProc(writer, key, GetEntryLong(list, index));
  } else {
    procs->putEnumeratedProc(writer, key, type, std::uint32_t(GetEntryLong(list, index)));
  }
}

}  // namespace

bool DescriptorSuitesAvailable(const PIDescriptorParameters* parameters) {
  if (parameters == nullptr) return false;
  if (parameters->descriptorParametersVersion != 0) return false;
  const ReadDescriptorProcs* read = parameters->readDescriptorProcs;
  const WriteDescriptorProcs* write = parameters->writeDescriptorProcs;
  if (read == nullptr || write == nullptr) return false;
  if (read->readDescriptorProcsVersion < 0 || read->numReadDescriptorProcs < 18) return false;
  if (write->writeDescriptorProcsVersion < 0 || write->numWriteDescriptorProcs < 16) return false;
  // A host that counts a procedure but leaves it out would be called through
  // a null pointer.
  const bool readComplete = read->openReadDescriptorProc && read->closeReadDescriptorProc &&
                            read->getKeyProc && read->getIntegerProc && read->getFloatProc &&
                            read->getBooleanProc && read->getTextProc && read->getEnumeratedProc;
  const bool writeComplete = write->openWriteDescriptorProc && write->closeWriteDescriptorProc &&
                             write->putIntegerProc && write->putFloatProc &&
                             write->putBooleanProc && write->putTextProc &&
                             write->putEnumeratedProc;
  return readComplete && writeComplete;
}

bool HandleSuiteAvailable(const HandleProcs* procs) {
  if (procs == nullptr) return false;
  if (procs->handleProcsVersion != 1 || procs->numHandleProcs < 4) return false;
  return procs->newProc != nullptr && procs->disposeProc != nullptr &&
         procs->getSizeProc != nullptr && procs->setSizeProc != nullptr;
}

void DisposeHostHandle(const HandleProcs* procs, Handle handle) {
  if (handle == nullptr || !HandleSuiteAvailable(procs)) return;
  procs->disposeProc(handle);
}

std::uint8_t ReadScriptedParameters(FilterRecord* record, DescriptorList list) {
  PIDescriptorParameters* parameters = ParametersOf(record);
  const bool available = DescriptorSuitesAvailable(parameters);
  // Without dialogs unless the host asks to display them.
  const std::uint8_t playAnswer = available && parameters->playInfo != plugInDialogDisplay ? 1 : 0;

  const std::int32_t inputs = GetInputCount(list);
  if (inputs <= 0 || !available) return playAnswer;

  // The keys of every input in list order, then a 0 key. A list of the usual
  // size needs no allocation for them, so a played-back step cannot be lost to
  // a shortage of memory.
  constexpr std::int32_t kLocalKeys = 32;
  DescriptorKeyID localKeys[kLocalKeys];
  void* allocated = nullptr;
  if (inputs + 1 > kLocalKeys) {
    allocated = NewBlock(std::uint32_t(inputs + 1) * std::uint32_t(sizeof(DescriptorKeyID)));
  }
  BlockGuard keysGuard(allocated);
  DescriptorKeyID* keys =
      inputs + 1 > kLocalKeys ? static_cast<DescriptorKeyID*>(allocated) : localKeys;
  // Without the keys the recorded step cannot be read. Skipping the dialog
  // then would run whatever operation the preferences hold instead of the
  // recorded one (a Clear in place of an Add): let the user choose instead.
  if (keys == nullptr) return 0;
  for (std::int32_t i = 0; i < inputs; ++i) keys[i] = GetEntryKey(list, i);
  keys[inputs] = 0;

  ReadDescriptorProcs* procs = parameters->readDescriptorProcs;
  PIReadDescriptor reader = procs->openReadDescriptorProc(parameters->descriptor, keys);
  if (reader == nullptr) return playAnswer;

  HandleProcs* handles = HandleProcsOf(record);
  DescriptorKeyID key = 0;
  DescType type = 0;
  std::int32_t flags = 0;
  while (procs->getKeyProc(reader, &key, &type, &flags)) {
    // The declared type decides how the value is read; the host's type is not consulted.
    for (std::int32_t i = 0; i < inputs; ++i) {
      if (GetEntryKey(list, i) == key) ReadEntry(procs, reader, handles, list, i);
    }
  }

  procs->closeReadDescriptorProc(reader);
  DisposeHostHandle(handles, parameters->descriptor);
  parameters->descriptor = nullptr;
  return playAnswer;
}

OSErr WriteScriptedParameters(FilterRecord* record, DescriptorList list) {
  const std::int32_t inputs = GetInputCount(list);
  if (inputs <= 0) return noErr;
  PIDescriptorParameters* parameters = ParametersOf(record);
  if (!DescriptorSuitesAvailable(parameters)) return noErr;

  WriteDescriptorProcs* procs = parameters->writeDescriptorProcs;
  PIWriteDescriptor writer = procs->openWriteDescriptorProc();
  if (writer == nullptr) return noErr;

  HandleProcs* handles = HandleProcsOf(record);
  for (std::int32_t i = 0; i < inputs; ++i) WriteEntry(procs, writer, handles, list, i);

  if (parameters->descriptor != nullptr) {
    DisposeHostHandle(handles, parameters->descriptor);
    parameters->descriptor = nullptr;
  }
  PIDescriptorHandle created = nullptr;
  procs->closeWriteDescriptorProc(writer, &created);
  parameters->descriptor = created;
  parameters->recordInfo = plugInDialogOptional;
  return noErr;
}
