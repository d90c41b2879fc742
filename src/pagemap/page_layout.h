// What each page of an input is, for the picture of the evidence
// (report/evidence_map.h): a page of which table's or index's b-tree, a
// freelist trunk or leaf, an overflow page, a database page that a WAL frame
// replaces, a frame of a WAL input, a page record of a journal input, or
// nothing mapped. The same structures the page map reads (page_map.h), found
// the same way and by the same walk (database_walk.h: a database at offset 0
// with the WAL beside it applied, a WAL or journal as the input, databases on
// 512-byte boundaries of an image, a later one taking precedence inside its
// extent); on top of that, each b-tree page is named after the table or index
// whose root page in the schema table it descends from.
//
// Hostile structure (loops, pointers out of range, lying headers, truncated
// files) never crashes, hangs or throws: every walk keeps a visited set and a
// budget in proportion to the input's size, and what cannot be mapped is
// kUnmapped. A damaged database still shows what was mapped.
//
// Cost: one read of the whole input (to find embedded databases; the caller
// may look at every byte on the way, to hash it), the database walks the page
// map makes with leaves read (overflow chains start in leaf cells), and one
// more read of each interior b-tree page and of the schema table's pages.
// Memory: three bytes per page of each database mapped, plus the names of the
// schemas' tables and indexes.
//
// Thread safety: a built PageLayout is immutable; its const methods may run
// on several threads.
#ifndef QUARROW_PAGEMAP_PAGE_LAYOUT_H_
#define QUARROW_PAGEMAP_PAGE_LAYOUT_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/buffer.h"

namespace quarrow {

enum class PageRole : uint8_t {
  kTable,          // a page of a table's b-tree, leaf or interior
  kIndex,          // a page of an index's b-tree
  kFreelistTrunk,
  kFreelistLeaf,
  kOverflow,
  kSuperseded,     // a database page whose latest version is a committed WAL frame
  kWalFrame,       // a frame of a WAL input (its header and page image)
  kJournalImage,   // a page record of a rollback journal input
  kUnmapped,       // no structure mapped there
};
inline constexpr int kPageRoles = 9;

// "table", "index", "freelist trunk", "freelist leaf", "overflow",
// "superseded", "WAL frame", "journal image", "unmapped".
std::string_view PageRoleText(PageRole role);

// A b-tree the schema tables name. Trees of one name in several databases
// (a copy of a database inside an image) are one entry.
struct LayoutTree {
  std::string name;   // the table's or index's own name
  std::string table;  // the table it belongs to (a table's own name)
  bool index = false;
};

// Bytes [start, end) of the input, all of one role (and one tree).
struct LayoutSpan {
  int64_t start = 0;
  int64_t end = 0;
  PageRole role = PageRole::kUnmapped;
  // For kTable and kIndex: the index into PageLayout::trees(), or kNoTree
  // when no schema entry reaches the page.
  int32_t tree = -1;
  // The size of the pages (WAL frames, journal records) the span is made
  // of; its first and last may be cut short. 0 outside every structure.
  int64_t unit = 0;
};
inline constexpr int32_t kNoTree = -1;

struct LayoutOptions {
  // Called with every byte of the input once, in order, in pieces, while the
  // layout reads it to find embedded databases (a digest of the input costs
  // no second read). May throw: the error leaves the constructor.
  std::function<void(std::string_view bytes)> on_input_bytes;
};

struct LayoutSummary {
  enum class Input { kOther, kDatabase, kWal, kJournal };
  Input input = Input::kOther;
  int databases = 0;         // databases mapped in the input
  bool wal_applied = false;  // the WAL beside a database input was applied
  uint32_t page_size = 0;    // of the first database mapped (or the WAL's, the journal's); 0: none
};

class PageLayout {
 public:
  // Lays out the file at `input_path`, with the WAL beside it ("<input>-wal",
  // only read) when there is one. Throws Error only when the input itself
  // cannot be opened or read.
  explicit PageLayout(const std::string& input_path, const LayoutOptions& options = {});
  // Lays out `input` with `wal` (may be null) as the WAL beside it.
  PageLayout(std::shared_ptr<const ByteSource> input, std::shared_ptr<const ByteSource> wal,
             const LayoutOptions& options = {});
  ~PageLayout();
  PageLayout(const PageLayout&) = delete;
  PageLayout& operator=(const PageLayout&) = delete;

  int64_t input_size() const { return input_size_; }
  const LayoutSummary& summary() const { return summary_; }
  const std::vector<LayoutTree>& trees() const { return trees_; }

  // Calls `visit` with spans that cover [0, input_size()) in increasing
  // order, without gaps; neighbouring pages of one role, tree and unit make
  // one span.
  void ForEachSpan(const std::function<void(const LayoutSpan&)>& visit) const;

  // The span holding the byte at `offset` (cut to that page: [start, end) is
  // the page's bytes), or an unmapped one-byte span outside the input.
  LayoutSpan PageAt(int64_t offset) const;

 private:
  struct Database;
  struct Segment {
    int64_t start = 0;
    int64_t end = 0;
    enum class Type : uint8_t { kDatabase, kWal, kJournal } type = Type::kDatabase;
    uint32_t index = 0;  // into databases_
  };
  class Builder;

  void AssignSegment(int64_t start, int64_t end, Segment segment);
  // Calls `visit` with each page of `segment` from the one holding `from` on
  // (cut to the segment), unmerged; stops when `visit` returns false.
  void VisitSegment(const Segment& segment, int64_t from,
                    const std::function<bool(const LayoutSpan&)>& visit) const;

  int64_t input_size_ = 0;
  LayoutSummary summary_;
  std::vector<LayoutTree> trees_;
  std::vector<Database> databases_;
  std::vector<Segment> segments_;  // by start, disjoint
  // A WAL input's frame grid, a journal input's records.
  int64_t wal_frame_size_ = 0;
  int64_t wal_frames_ = 0;
  std::vector<std::pair<int64_t, int64_t>> journal_records_;
};

}  // namespace quarrow

#endif  // QUARROW_PAGEMAP_PAGE_LAYOUT_H_
