// The terminology table and the compile-time writer that lays it out as the
// host's AETE resource. Every name, key and type lives in the tables below and
// nowhere else.
#include "plugin/params/terminology.h"

#include <array>
#include <cstddef>
#include <cstdio>
#include <string_view>

#include "plugin/core/strings.h"

namespace {

struct Parameter {
  std::string_view name;
  std::uint32_t key;
  std::uint32_t type;
  std::uint16_t flags;
};

struct Enumerator {
  std::string_view name;
  std::uint32_t value;  // stored as a 4-character code holding the integer
};

struct Enumeration {
  std::uint32_t type;
  std::span<const Enumerator> enumerators;
};

// Flags of a parameter whose value is an enumeration, and of the others.
constexpr std::uint16_t kEnumerated = 0x2000;
constexpr std::uint16_t kPlain = 0x0000;

constexpr std::string_view kSuiteName = "Sharpstack";
constexpr std::string_view kSuiteDescription = "Focus stacking";
constexpr std::uint32_t kSuiteCode = FourCC("xURt");
constexpr std::string_view kEventName = "Sharpstack";
constexpr std::string_view kEventDescription = "abcd";
constexpr std::uint32_t kEventClass = FourCC("xURt");
constexpr std::uint32_t kEventId = FourCC("BFcB");
constexpr std::uint32_t kReplyType = FourCC("null");
constexpr std::uint16_t kReplyFlags = 0;
constexpr std::uint32_t kDirectType = FourCC("#ImR");
constexpr std::uint16_t kDirectFlags = 0xB000;

// The framework's common parameter set; this filter's list declares only "EFMd".
constexpr Parameter kParameters[] = {
    {"Scale Factor", FourCC("sCAL"), FourCC("doub"), kPlain},
    {"Offset", FourCC("oFST"), FourCC("doub"), kPlain},
    {"Noise Removing (Blur) Radius", FourCC("DOGa"), FourCC("doub"), kPlain},
    {"Edge Sharpening Radius", FourCC("DOGb"), FourCC("doub"), kPlain},
    {"Add Edge Emphasis %", FourCC("DOGd"), FourCC("doub"), kPlain},
    {"Horizontal Shift", FourCC("DtnX"), FourCC("doub"), kPlain},
    {"Vertical Shift", FourCC("DtnY"), FourCC("doub"), kPlain},
    {"Autoscale Result", FourCC("AFlg"), FourCC("bool"), kPlain},
    {"Custom_Kernel", FourCC("Krnl"), FourCC("TEXT"), kPlain},
    {"Enhance", FourCC("eTyp"), FourCC("rB37"), kEnumerated},
    {"Noise Type", FourCC("nTyp"), FourCC("rB39"), kEnumerated},
    {"Neighborhood Radius", FourCC("nRad"), FourCC("doub"), kPlain},
    {"Cutoff", FourCC("cOFF"), FourCC("doub"), kPlain},
    {"Histogram Midpoint", FourCC("50pt"), FourCC("rB40"), kEnumerated},
    {"Custom Midpoint Value", FourCC("CptV"), FourCC("doub"), kPlain},
    {"Layer Mode", FourCC("2LMd"), FourCC("rB41"), kEnumerated},
    {"Operation", FourCC("EFMd"), FourCC("rB42"), kEnumerated},
    {"Enable Nudge", FourCC("eShf"), FourCC("bool"), kPlain},
    {"Opacity", FourCC("Opct"), FourCC("doub"), kPlain},
    {"Color Noise Suppression", FourCC("CNos"), FourCC("bool"), kPlain},
    {"Add Detail Emphasis %", FourCC("epsE"), FourCC("doub"), kPlain},
    {"Neighborhood Radius", FourCC("epsN"), FourCC("doub"), kPlain},
    {"Color Tolerance", FourCC("epsT"), FourCC("doub"), kPlain},
};

constexpr Enumerator kEnhance[] = {
    {"Both Light and Dark Edges", 1}, {"Light Edges", 2}, {"Dark Edges", 3}};

constexpr Enumerator kNoiseType[] = {{"Lightest", 1}, {"Darkest", 2}, {"Normal", 3}};

constexpr Enumerator kHistogramMidpoint[] = {
    {"Linear", 1},     {"EV -2", 3},  {"EV -1 2/3", 4},
    {"EV -1 1/3", 5},  {"EV -1", 6},  {"EV -2/3", 7},
    {"EV -1/3", 8},    {"EV 0", 9},   {"EV +1/3", 10},
    {"EV +2/3", 11},   {"EV +1", 12}, {"EV +1 1/3", 13},
    {"EV +1 2/3", 14}, {"EV +2", 15}, {"Match Pen Color Intensity", 17},
    {"Custom EV", 19}};

constexpr Enumerator kLayerMode[] = {
    {"Normal", 1},          {"Dissolve", 2},      {"Darken", 4},        {"Multiply", 5},
    {"Color Burn", 6},      {"Linear Burn", 7},   {"Lighten", 9},       {"Screen", 10},
    {"Color Dodge", 11},    {"Linear Dodge", 12}, {"Overlay", 14},      {"Soft Light", 15},
    {"Hard Light", 16},     {"Vivid Light", 17},  {"Linear Light", 18}, {"Pin Light", 19},
    {"Difference", 21},     {"Exclusion", 22},    {"Hue", 24},          {"Saturation", 25},
    {"Color", 26},          {"Luminosity", 27},   {"Highlight", 29},    {"Shadow", 30},
    {"Subtract", 31},       {"Remove", 32},       {"Ratio", 33},        {"Compare", 34},
    {"Blend Exposures", 36}};

// The operations of this filter: Clear Buffer, Add To Buffer, Show Buffer.
constexpr Enumerator kOperation[] = {{"Clear Buffer", 4}, {"Add To Buffer", 5}, {"Show Buffer", 6}};

constexpr Enumeration kEnumerations[] = {
    {FourCC("rB37"), kEnhance},           {FourCC("rB39"), kNoiseType},
    {FourCC("rB40"), kHistogramMidpoint}, {FourCC("rB41"), kLayerMode},
    {FourCC("rB42"), kOperation},
};

// Lays the table out through a sink that either counts or stores bytes, so
// that the size and the contents come from the same walk.
template <typename Sink>
constexpr void Emit(Sink& sink) {
  auto word = [&sink](std::uint16_t w) {
    sink.Put(std::uint8_t(w & 0xFF));
    sink.Put(std::uint8_t(w >> 8));
  };
  // Reversed on disk: the last character first, which is the code's number
  // little-endian.
  auto code = [&sink](std::uint32_t c) {
    for (int shift = 0; shift < 32; shift += 8) sink.Put(std::uint8_t(c >> shift));
  };
  auto text = [&sink](std::string_view s) {
    sink.Put(std::uint8_t(s.size()));
    for (char c : s) sink.Put(std::uint8_t(c));
  };

  // Header: reserved 1, version 1.0, language 0, script 0, one suite.
  word(1);
  sink.Put(1);
  sink.Put(0);
  word(0);
  word(0);
  word(1);

  // The suite: level 1, version 1, one event.
  text(kSuiteName);
  text(kSuiteDescription);
  code(kSuiteCode);
  word(1);
  word(1);
  word(1);

  text(kEventName);
  text(kEventDescription);
  code(kEventClass);
  code(kEventId);
  code(kReplyType);
  text("");
  word(kReplyFlags);
  code(kDirectType);
  text("");
  word(kDirectFlags);
  word(std::uint16_t(std::size(kParameters)));
  for (const Parameter& p : kParameters) {
    text(p.name);
    code(p.key);
    code(p.type);
    text("");
    word(p.flags);
  }

  word(0);  // classes
  word(0);  // comparison operators
  word(std::uint16_t(std::size(kEnumerations)));
  for (const Enumeration& e : kEnumerations) {
    code(e.type);
    word(std::uint16_t(e.enumerators.size()));
    for (const Enumerator& n : e.enumerators) {
      text(n.name);
      code(n.value);
      text("");
    }
  }
}

struct CountingSink {
  std::size_t size = 0;
  constexpr void Put(std::uint8_t) { ++size; }
};

constexpr std::size_t TerminologySize() {
  CountingSink sink;
  Emit(sink);
  return sink.size;
}

constexpr std::size_t kTerminologySize = TerminologySize();

struct ArraySink {
  std::array<std::uint8_t, kTerminologySize> bytes{};
  std::size_t position = 0;
  constexpr void Put(std::uint8_t b) { bytes[position++] = b; }
};

constexpr ArraySink BuildTerminology() {
  ArraySink sink;
  Emit(sink);
  return sink;
}

constexpr ArraySink kBuilt = BuildTerminology();
static_assert(kBuilt.position == kTerminologySize);

// Every string must fit its one length byte.
constexpr bool NamesFit() {
  for (const Parameter& p : kParameters)
    if (p.name.size() > 255) return false;
  for (const Enumeration& e : kEnumerations)
    for (const Enumerator& n : e.enumerators)
      if (n.name.size() > 255) return false;
  return kSuiteName.size() <= 255 && kSuiteDescription.size() <= 255;
}
static_assert(NamesFit());
static_assert(std::size(kParameters) == 23);

}  // namespace

std::span<const std::uint8_t> TerminologyResource() {
  return kBuilt.bytes;
}

bool WriteTerminologyResource(const char* path) {
  if (path == nullptr) return false;
  std::FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return false;
  const std::span<const std::uint8_t> bytes = TerminologyResource();
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  // A failed close can lose buffered bytes, so it counts as a failed write.
  const bool closed = std::fclose(file) == 0;
  return written && closed;
}
