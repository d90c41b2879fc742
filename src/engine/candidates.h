// Finding candidate positions fast: a prefilter over a block of bytes that
// reports exactly the positions a candidate rule accepts. Pure; thread-safe.
#ifndef QUARROW_ENGINE_CANDIDATES_H_
#define QUARROW_ENGINE_CANDIDATES_H_

#include <cstdint>
#include <string_view>

namespace quarrow {

// Calls visit(j) for every j in [from, to), in increasing order, where bytes[j]
// is not 0 and, when `pair` is set, bytes[j + 1] is 0. Needs to < bytes.size()
// when `pair` is set, so that bytes[j + 1] exists. `visit` returns nothing.
template <typename Visit>
void ForEachCandidate(std::string_view bytes, int64_t from, int64_t to, bool pair,
                      Visit&& visit);

}  // namespace quarrow

#include "engine/candidates_inl.h"

#endif  // QUARROW_ENGINE_CANDIDATES_H_
