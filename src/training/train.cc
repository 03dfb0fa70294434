#include "training/train.h"

#include <unistd.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <optional>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "base/file_io.h"
#include "base/interrupt.h"
#include "base/mapping_cache.h"
#include "codec/merge_engine.h"
#include "codec/plain_merge_sequence.h"
#include "training/chunk_reader.h"
#include "training/id_allocation.h"
#include "training/log_lines.h"
#include "training/log_sink.h"
#include "training/pretokenize.h"
#include "training/read_ahead.h"
#include "training/save_model.h"
#include "training/train_chunk.h"

namespace selvane::training {
namespace {

// The sequence both merge passes work on. The incremental engine updates its
// pair counts as merges are applied instead of recounting the whole chunk for
// each of the 700 choices; the tests hold it to the plain sequence's results.
using TrainingSequence = codec::MergeEngine;

// Gives the heap's free memory back to the system. A chunk's engine is
// built on the helper thread and freed on this one, so its blocks return to
// the helper's heap arena while this thread allocates from its own; without
// a trim the freed space of both stays resident and the peak memory of a
// long call creeps up chunk by chunk.
void release_free_memory() {
#ifdef __GLIBC__
  static_cast<void>(::malloc_trim(0));
#endif
}

// Prints `lines` one line at a time, as the pass that made them would have.
void print_lines(Console& console, std::string_view lines) {
  while (!lines.empty()) {
    const std::size_t line_feed = lines.find('\n');
    const std::size_t end =
        line_feed == std::string_view::npos ? lines.size() : line_feed + 1;
    console.print(lines.substr(0, end));
    lines.remove_prefix(end);
  }
}

// The body of a training call, merging with `Sequence`.
template <class Sequence>
void train_chunks(model::Data& data, const std::string& train_file,
                  bool print_logs, const std::string& logs_file,
                  Console& console, const TrainOptions& options) {
  // Each step's effects stay in place when a later one fails: the reserved
  // entries, the files created or truncated, and every chunk saved so far.
  write_reserved_entries(data);
  refuse_self_destruction(logs_file, train_file);
  // Each chunk's engine takes the memory of the one before it instead of
  // faulting in fresh pages; it all goes back when the call ends.
  const MappingCache::Scope reuse_mappings;
  FileLogSink log = open_log_sink(logs_file, print_logs);
  ChunkReader reader(train_file, options.chunk_size);
  console.print(kStartLine);
  // A pipe's next read may wait for its writer, and a Ctrl-C must be able to
  // interrupt that wait: only a regular file is read ahead. Nor is a file
  // that this call appends to while a chunk learns (the merge log, or
  // standard output sent to the training file): read ahead, the next chunk
  // would hold more or less of those lines depending on the helper's timing.
  const bool read_ahead = options.read_ahead && reader.regular_file() &&
                          !reader.same_file_as(log.fd()) &&
                          !reader.same_file_as(STDOUT_FILENO);
  // Declared before the chunk's sequence, so that a helper still running is
  // waited for whatever ends the call.
  model::Merges known_merges;
  // The pairs that the last chunk's engine ended with.
  std::size_t last_pairs = 0;
  ChunkReadAhead ahead;
  constexpr bool kEngine = std::is_same_v<Sequence, codec::MergeEngine>;
  for (bool first_chunk = true;; first_chunk = false) {
    // Between chunks the model file holds every chunk so far: the place
    // where a Ctrl-C may end the call.
    check_interrupts();
    std::vector<model::TokenId> ids;
    std::optional<Sequence> sequence;
    // The lines of the known merges that the helper applied ahead.
    std::string known_lines;
    if (read_ahead && !first_chunk) {
      // The read and its failure are reported here, after the save, as
      // without the helper; the new clusters take their ids only now, in
      // the order of their first occurrence.
      ReadAheadResult next = ahead.take();
      if (next.error != 0) fail_os("To Work", next.error);
      if (next.end) break;
      if constexpr (kEngine) {
        if (next.engine) {
          if (!next.chunk.new_clusters.empty()) {
            const std::vector<model::TokenId> assigned =
                commit_new_clusters(data, std::move(next.chunk.new_clusters));
            next.engine->replace_placeholders(next.first_placeholder, assigned);
          }
          sequence.emplace(std::move(*next.engine));
          known_lines = std::move(next.known_lines);
        }
      }
      if (!sequence) ids = commit_chunk(data, std::move(next.chunk));
    } else {
      const std::string_view chunk = reader.next();
      if (chunk.empty()) break;
      if constexpr (kEngine) {
        // The engine links and counts each piece while the next ones are
        // pretokenized. A chunk has no more clusters than bytes.
        codec::MergeEngine::Builder builder(chunk.size());
        pretokenize_chunk_in_pieces(data, chunk,
                                    [&](std::span<const model::TokenId> part) {
                                      builder.append(part);
                                    });
        sequence.emplace(std::move(builder).finish());
      } else {
        ids = pretokenize_chunk_in_pieces(data, chunk);
      }
    }
    // The merges of this chunk never add a cluster, so the next chunk can be
    // pretokenized against the clusters as they stand now.
    if (read_ahead) {
      // The helper gets a copy of the merges, which this chunk adds to.
      if constexpr (kEngine) known_merges = data.merges;
      ahead.start(reader, data.unicode_lookup, kEngine,
                  kEngine ? &known_merges : nullptr, last_pairs);
    }
    if (!sequence) sequence.emplace(std::move(ids));
    print_lines(console, known_lines);
    // The chunk's final ids are not needed: only the model goes on.
    learn_chunk(data, *sequence, first_chunk, print_logs, log, console);
    if constexpr (kEngine) last_pairs = sequence->pairs_held();
    sequence.reset();
    release_free_memory();
    save_model(data, console);
    log.write(kChunkSeparator);
  }
  // The training file and the log sink close with `reader` and `log`.
}

}  // namespace

void train(model::Data& data, const std::string& train_file, bool print_logs,
           const std::string& logs_file) {
  FdConsole console(STDOUT_FILENO, "stdout");
  train(data, train_file, print_logs, logs_file, console);
}

void train(model::Data& data, const std::string& train_file, bool print_logs,
           const std::string& logs_file, Console& console) {
  train(data, train_file, print_logs, logs_file, console, TrainOptions{});
}

void train(model::Data& data, const std::string& train_file, bool print_logs,
           const std::string& logs_file, Console& console,
           const TrainOptions& options) {
  if (options.plain_sequence) {
    train_chunks<codec::PlainMergeSequence>(data, train_file, print_logs,
                                            logs_file, console, options);
  } else {
    train_chunks<TrainingSequence>(data, train_file, print_logs, logs_file,
                                   console, options);
  }
}

}  // namespace selvane::training
