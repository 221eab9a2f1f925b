// The image model is the top layer: the codecs and the Python utilities below
// it are compiled with VEXTARO_BELOW_CORE, so that including any header of
// core/ from them stops the build here.
#pragma once

#if defined(VEXTARO_BELOW_CORE)
#error "png/, bmp/ and binding/ are below core/ and may not include it"
#endif
