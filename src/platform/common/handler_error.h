#pragma once

#include <stdexcept>

namespace kestrix {

// An error that ends the running event handler: a file that exists but
// cannot be read, a registry value of the wrong type, a refused registry
// write. The program shows it in its error box and goes on running.
class HandlerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace kestrix
