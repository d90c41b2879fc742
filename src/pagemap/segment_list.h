// Byte ranges of an input, disjoint and sorted by start, each standing for
// what holds those bytes (a database, a WAL, a journal, a page run). Giving a
// range to a new segment cuts the ones that held it before. Plain functions
// over a vector; not thread-safe.
#ifndef QUARROW_PAGEMAP_SEGMENT_LIST_H_
#define QUARROW_PAGEMAP_SEGMENT_LIST_H_

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <vector>

namespace quarrow {

// Gives [start, end) to `segment` (a type with int64_t `start` and `end`),
// over whatever of `segments` held it before.
template <typename Segment>
void AssignSegment(std::vector<Segment>& segments, int64_t start, int64_t end, Segment segment) {
  segment.start = start;
  segment.end = end;
  // Segments are disjoint, so their ends ascend too: [first, last) overlap it.
  const auto first = std::partition_point(segments.begin(), segments.end(),
                                          [start](const Segment& s) { return s.end <= start; });
  auto last = first;
  while (last != segments.end() && last->start < end) ++last;
  std::array<Segment, 3> pieces;
  size_t count = 0;
  if (first != last && first->start < start) {
    pieces[count] = *first;
    pieces[count++].end = start;
  }
  pieces[count++] = segment;
  if (first != last && std::prev(last)->end > end) {
    pieces[count] = *std::prev(last);
    pieces[count++].start = end;
  }
  const auto at = segments.erase(first, last);
  segments.insert(at, pieces.begin(), pieces.begin() + static_cast<std::ptrdiff_t>(count));
}

}  // namespace quarrow

#endif  // QUARROW_PAGEMAP_SEGMENT_LIST_H_
