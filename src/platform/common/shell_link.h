// Shortcut (.lnk) files read from their bytes, the same on every backend
// that has no shell of its own to ask.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "platform/common/text_file.h"
#include "platform/platform.h"

namespace kestrix {

// Shortcuts are a few kilobytes; a larger file is read only this far.
inline constexpr std::size_t kMaxShellLinkBytes = std::size_t{1} << 20;

// What a shortcut starts: the target from its location record, else from its
// item list, with its environment-variable target first where the link says
// it has one; its arguments and working directory. ANSI text is decoded with
// `decodeAnsi`, UTF-16 text turned into UTF-8. nullopt for bytes that are no
// shortcut. Every size and offset in the bytes is checked before use, so
// hostile bytes give nullopt or a partial answer, never a fault.
std::optional<ShellLink> ParseShellLink(std::string_view bytes, const AnsiDecoder& decodeAnsi);

// Reads up to kMaxShellLinkBytes through `reader` and parses them; nullopt
// when reading fails.
std::optional<ShellLink> ReadShellLink(ByteReader& reader, const AnsiDecoder& decodeAnsi);

}  // namespace kestrix
