// The scripting terminology (AETE) resource: tells the host the names, keys
// and types of the filter's scriptable parameters and the names of the
// enumerators. The bytes are produced at compile time from one table, in the
// form the host reads on Windows: 16-bit numbers little-endian, every
// 4-character code with its bytes reversed, strings length-prefixed, nothing
// padded.
#pragma once

#include <cstdint>
#include <span>

inline constexpr int kTerminologyResourceId = 16000;
inline constexpr int kTerminologyLanguage = 1033;

// The resource's bytes, ready to embed.
std::span<const std::uint8_t> TerminologyResource();

// Writes the resource's bytes to the file at `path`, replacing it; false when
// the file cannot be written completely. The Windows build runs this from a
// small generator before the resource compiler embeds the file as type AETE,
// id 16000, language 1033.
bool WriteTerminologyResource(const char* path);
