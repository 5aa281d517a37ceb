// Reading and writing registry values the way the program's handlers do:
// a value of the wrong type or a refused write ends the handler.
#pragma once

#include <string>
#include <string_view>

#include "platform/common/handler_error.h"
#include "platform/platform.h"

namespace kestrix {

// "Invalid data type for 'AutoKill'", "Failed to set data for 'Icon'".
class RegistryError : public HandlerError {
 public:
  using HandlerError::HandlerError;
};

// The value's text; empty when missing. RegistryError for a value that is not text.
std::string ReadTextValue(RegistryKey& key, std::string_view name);

// RegistryError when the write is refused.
void WriteTextValue(RegistryKey& key, std::string_view name, std::string_view text);

// Writes `text` to the value, or deletes it when `text` is empty, in a key
// opened (and created if missing) for this one step. A key that cannot be
// opened is skipped: the change is simply not stored.
void StoreValue(Registry& registry, std::string_view keyPath, std::string_view name, std::string_view text);

}  // namespace kestrix
