#include "training/read_ahead.h"

#include <pthread.h>
#include <signal.h>

#include <system_error>
#include <utility>

namespace selvane::training {

ChunkReadAhead::~ChunkReadAhead() {
  if (helper_.joinable()) helper_.join();
}

void ChunkReadAhead::start(ChunkReader& reader,
                           const model::UnicodeLookup& unicode_lookup,
                           bool build_engine) {
  reader_ = &reader;
  unicode_lookup_ = &unicode_lookup;
  build_engine_ = build_engine;
  result_ = ReadAheadResult{};
  failure_ = nullptr;
  // A new thread inherits the signal mask of its creator: block everything
  // around the creation, so that the interpreter's signals (Ctrl-C) keep
  // interrupting the calling thread's system calls, as without a helper.
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  const bool masked = pthread_sigmask(SIG_SETMASK, &all, &previous) == 0;
  try {
    helper_ = std::thread([this] { run(); });
  } catch (const std::system_error&) {
    // No thread to be had: take() does the work itself.
  }
  if (masked) pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

ReadAheadResult ChunkReadAhead::take() {
  if (helper_.joinable()) {
    helper_.join();
  } else {
    run();
  }
  if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  return std::move(result_);
}

void ChunkReadAhead::run() {
  try {
    const std::string_view chunk = reader_->next(result_.error);
    if (result_.error != 0) return;
    result_.end = chunk.empty();
    if (result_.end) return;
    result_.chunk = prepare_chunk(*unicode_lookup_, chunk);
    // New clusters get their ids only after the current chunk, and the
    // engine's pairs need them; most later chunks have none.
    if (build_engine_ && result_.chunk.new_clusters.empty()) {
      result_.engine.emplace(std::move(result_.chunk.ids));
      result_.chunk.ids.clear();
    }
  } catch (...) {
    failure_ = std::current_exception();
  }
}

}  // namespace selvane::training
