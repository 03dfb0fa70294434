#ifndef SELVANE_TRAINING_READ_AHEAD_H_
#define SELVANE_TRAINING_READ_AHEAD_H_

#include <atomic>
#include <exception>
#include <optional>
#include <string>
#include <thread>

#include "codec/merge_engine.h"
#include "model/data.h"
#include "model/unicode_lookup.h"
#include "training/chunk_reader.h"
#include "training/pretokenize.h"

namespace selvane::training {

// The next chunk as a read-ahead delivers it.
struct ReadAheadResult {
  // The error number of a failed read, or 0.
  int error = 0;
  // Whether the read found the end of the file.
  bool end = false;
  // The chunk, pretokenized against the lookup given to `start()`.
  PreparedChunk chunk;
  // When asked for, the chunk's ids already set up in a merge engine
  // (`chunk.ids` is then empty). The new clusters, whose ids are given only
  // after the current chunk, stand there as `first_placeholder` plus their
  // index in `chunk.new_clusters`, every other id being below it: the
  // engine's `replace_placeholders()` settles them.
  std::optional<codec::MergeEngine> engine;
  model::TokenId first_placeholder = 0;
  // The found-match lines of the known merges already applied to `engine`,
  // to be printed before the pass goes on from there.
  std::string known_lines;
};

// ChunkReadAhead
//
// Reads and pretokenizes the next chunk of a training file on a helper
// thread while the calling thread learns the merges of the current one.
// The helper only reads the reader's file and buffer and the given cluster
// lookup, never panics (a failed read is handed back as its error number)
// and never runs the host's interrupt check; it runs with every signal
// blocked, so that signals keep reaching the calling thread. The result
// does not depend on the helper's timing. The destructor waits for a helper
// still running, so none outlives the training call, whatever ends it.
class ChunkReadAhead {
 public:
  ChunkReadAhead() = default;
  ChunkReadAhead(const ChunkReadAhead&) = delete;
  ChunkReadAhead& operator=(const ChunkReadAhead&) = delete;
  ~ChunkReadAhead();

  // Starts reading the next chunk of `reader` and pretokenizing it against
  // `unicode_lookup`, and with `build_engine`, setting up its merge engine.
  // Neither may change, nor `reader` be used, until `take()`. When no thread
  // can be started, the work waits for `take()`.
  // With `known_merges` as well (a copy that nothing changes until
  // `take()`), on a chunk without new clusters it goes on to apply the known
  // merges to the engine for as long as the most frequent pair is among
  // them, until `take()` asks it to stop. The engine makes room for
  // `expected_pairs` pairs, the number an earlier chunk ended with.
  void start(ChunkReader& reader, const model::UnicodeLookup& unicode_lookup,
             bool build_engine, const model::Merges* known_merges = nullptr,
             std::size_t expected_pairs = 0);

  // Waits for the chunk started last and returns it. Rethrows what the
  // helper threw (only a failed allocation can be).
  ReadAheadResult take();

 private:
  // Reads and prepares the next chunk into `result_`.
  void run();

  // Makes room in the engine of `result_` for the pairs its known-merges
  // pass will create, as many as `expected_pairs_`.
  void make_room_for_known_pass();

  // Applies known merges to the engine of `result_` until the most frequent
  // pair is not in `known_merges_` or `stop_` is set.
  void apply_known_head();

  ChunkReader* reader_ = nullptr;
  const model::UnicodeLookup* unicode_lookup_ = nullptr;
  bool build_engine_ = false;
  const model::Merges* known_merges_ = nullptr;
  std::size_t expected_pairs_ = 0;
  // Set by `take()`: the calling thread is ready to go on itself.
  std::atomic<bool> stop_{false};
  std::thread helper_;
  ReadAheadResult result_;
  std::exception_ptr failure_;
};

}  // namespace selvane::training

#endif  // SELVANE_TRAINING_READ_AHEAD_H_
