// _filterTypes: a filter type for every row of an image's planes, chosen by the
// codec's chooser (png/filter_choice.hpp), for Vextaro.filters.
#pragma once

#include "core/layer.hpp"

#include "binding/function.hpp"

namespace vextaro {

extern const FunctionSpec kFilterTypesSpec;

}  // namespace vextaro
