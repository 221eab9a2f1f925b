#include "binding/process.hpp"

namespace vextaro {

// Constant-initialised: no code runs for them when the library is loaded.
constinit ProcessState process_state{};
constinit Names names{};
constinit HostBuiltins host{};

}  // namespace vextaro
