// Finding candidate positions fast: a prefilter over a block of bytes that
// reports exactly the positions a candidate rule accepts. Pure; thread-safe.
#ifndef QUARROW_ENGINE_CANDIDATES_H_
#define QUARROW_ENGINE_CANDIDATES_H_

#include <cstdint>
#include <string_view>

#include "engine/byte_classes.h"

namespace quarrow {

// Calls visit(j, classes) for every j in [from, to), in increasing order, where
// bytes[j] is not 0 and, when `pair` is set, bytes[j + 1] is 0; `classes` are
// those of the 64 bytes after j (where a header's serial types start), a
// pointer valid during the call, or nullptr near the end of `bytes`, where
// fewer follow. Needs to < bytes.size() when `pair` is set, so that bytes[j + 1]
// exists. `visit` returns nothing.
template <typename Visit>
void ForEachClassifiedCandidate(std::string_view bytes, int64_t from, int64_t to, bool pair,
                                Visit&& visit);

}  // namespace quarrow

#include "engine/candidates_inl.h"

#endif  // QUARROW_ENGINE_CANDIDATES_H_
