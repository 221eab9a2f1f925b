// The PNG decoder: a source in, its record out.
#pragma once

#include "core/layer.hpp"

#include <Python.h>

#include <optional>

#include "binding/source.hpp"
#include "core/decoded.hpp"

namespace vextaro {

// nullopt with an exception set when the file is refused.
std::optional<Decoded> load_png(Source& source);

}  // namespace vextaro
