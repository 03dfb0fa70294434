#include "training/train.h"

#include <unistd.h>

#include "base/interrupt.h"
#include "codec/merge_engine.h"
#include "training/chunk_reader.h"
#include "training/id_allocation.h"
#include "training/log_lines.h"
#include "training/log_sink.h"
#include "training/save_model.h"
#include "training/train_chunk.h"

namespace selvane::training {
namespace {

// The sequence both merge passes work on. The incremental engine updates its
// pair counts as merges are applied instead of recounting the whole chunk for
// each of the 700 choices; the tests hold it to the plain sequence's results.
using TrainingSequence = codec::MergeEngine;

}  // namespace

void train(model::Data& data, const std::string& train_file, bool print_logs,
           const std::string& logs_file) {
  FdConsole console(STDOUT_FILENO, "stdout");
  train(data, train_file, print_logs, logs_file, console);
}

void train(model::Data& data, const std::string& train_file, bool print_logs,
           const std::string& logs_file, Console& console) {
  // Each step's effects stay in place when a later one fails: the reserved
  // entries, the files created or truncated, and every chunk saved so far.
  write_reserved_entries(data);
  refuse_self_destruction(logs_file, train_file);
  FileLogSink log = open_log_sink(logs_file, print_logs);
  ChunkReader reader(train_file);
  console.print(kStartLine);
  for (bool first_chunk = true;; first_chunk = false) {
    // Between chunks the model file holds every chunk so far: the place
    // where a Ctrl-C may end the call.
    check_interrupts();
    const std::string_view chunk = reader.next();
    if (chunk.empty()) break;
    train_chunk<TrainingSequence>(data, chunk, first_chunk, print_logs, log,
                                  console);
    save_model(data, console);
    log.write(kChunkSeparator);
  }
  // The training file and the log sink close with `reader` and `log`.
}

}  // namespace selvane::training
