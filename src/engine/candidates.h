// Finding candidate positions fast: a prefilter over a block of bytes that
// reports exactly the positions a candidate rule accepts. Built once for the
// portable baseline and, on x86-64 with GCC or Clang, once each for AVX2 and
// AVX-512, the processor choosing at run time (byte_classes.h); every build
// visits the same candidates with the same classes. Pure; thread-safe.
#ifndef QUARROW_ENGINE_CANDIDATES_H_
#define QUARROW_ENGINE_CANDIDATES_H_

#include <cstdint>
#include <string_view>

#include "engine/byte_classes.h"

// For the sweep and its visitor: one call per candidate must not become a
// call, and the sweep belongs inside its caller's page loop.
#if defined(__GNUC__)
#define QUARROW_ALWAYS_INLINE __attribute__((always_inline))
#else
#define QUARROW_ALWAYS_INLINE
#endif

namespace quarrow {

// Calls visit(j, classes) for every j in [from, to), in increasing order, where
// bytes[j] is not 0 and, when `pair` is set, bytes[j + 1] is 0; `classes` are
// those of the 64 bytes after j (where a header's serial types start), a
// pointer valid during the call, or nullptr where they were not worked out:
// near the end of `bytes`, where fewer follow, and without `classify_lone`
// for a block's lone candidate (in sparse bytes, such as random ones with one
// candidate per four blocks, classifying two blocks costs more than a lone
// candidate's byte-by-byte test). Needs to < bytes.size() when `pair` is set,
// so that bytes[j + 1] exists. `visit` returns nothing. Returns the number of
// 64-byte blocks that held more than one candidate. Where a block's
// candidates are classified, `keep(here, next)` (the classes of the block and
// of the one after) may clear the bits of candidates not worth a visit.
template <typename Keep, typename Visit>
int64_t ForEachClassifiedCandidate(std::string_view bytes, int64_t from, int64_t to, bool pair,
                                   bool classify_lone, Keep&& keep, Visit&& visit);

}  // namespace quarrow

#include "engine/candidates_inl.h"

#endif  // QUARROW_ENGINE_CANDIDATES_H_
