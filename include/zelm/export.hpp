// Symbol visibility for the library's public API. The library is built with
// hidden visibility; everything a host or plug-in may use is marked ZELM_API,
// which also gives the public types one type identity across the plug-in
// boundary (exceptions and dynamic_cast).
#pragma once

#define ZELM_API __attribute__((visibility("default")))
