// Reading and writing registry values the way the program's handlers do:
// a value of the wrong type or a change that cannot be stored ends the
// handler.
#pragma once

#include <string>
#include <string_view>

#include "platform/common/handler_error.h"
#include "platform/platform.h"

namespace kestrix {

// "Invalid data type for 'AutoKill'", "Failed to set data for 'Icon'", or
// the option that could not be stored.
class RegistryError : public HandlerError {
 public:
  using HandlerError::HandlerError;
};

// "Failed to set data for 'NAME'": a write the registry refused.
RegistryError RefusedWrite(std::string_view name);

// The value's text; empty when missing. RegistryError for a value that is not text.
std::string ReadTextValue(RegistryKey& key, std::string_view name);

// RegistryError when the write is refused.
void WriteTextValue(WritableRegistryKey& key, std::string_view name, std::string_view text);

// Writes `text` to the value, or deletes it when `text` is empty, in a key
// opened (and created if missing) for this one step. Nothing is written
// when the value already holds `text` (or is already gone), so that a
// standard user, who may not write below HKEY_LOCAL_MACHINE, can store what
// is stored already. RegistryError when the change cannot be stored: the
// key cannot be opened for writing, or the write is refused.
void StoreValue(Registry& registry, std::string_view keyPath, std::string_view name, std::string_view text);

// Creates the key when it is missing; a RegistryError naming the value
// `name` when it cannot.
void StoreKey(Registry& registry, std::string_view keyPath, std::string_view name);

// An option: on writes "TRUE", off deletes the value. A value that already
// means the same (any text for on) is left as it is.
void StoreOption(Registry& registry, std::string_view keyPath, std::string_view name, bool on);

}  // namespace kestrix
