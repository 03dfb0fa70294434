#ifndef SELVANE_TESTS_TESTING_TRAIN_CHUNK_H_
#define SELVANE_TESTS_TESTING_TRAIN_CHUNK_H_

#include <string_view>
#include <utility>
#include <vector>

#include "model/data.h"
#include "training/console.h"
#include "training/log_sink.h"
#include "training/pretokenize.h"
#include "training/train_chunk.h"

namespace selvane::testing {

// KnownMergesRecorder
//
// A `Sequence` that copies its ids to `recorded` the first time its bans
// are lifted: in a later chunk of a training call, right after the known
// merges.
template <class Sequence>
class KnownMergesRecorder : public Sequence {
 public:
  KnownMergesRecorder(std::vector<model::TokenId> ids,
                      std::vector<model::TokenId>* recorded)
      : Sequence(std::move(ids)), recorded_(recorded) {}

  // Records the ids once, then lifts the bans.
  void clear_bans() {
    if (recorded_ != nullptr) {
      const auto ids = this->ids();
      recorded_->assign(ids.begin(), ids.end());
      recorded_ = nullptr;
    }
    Sequence::clear_bans();
  }

 private:
  std::vector<model::TokenId>* recorded_;
};

// train_chunk()
//
// The step of a training call for one chunk, from its bytes: pretokenizes
// `chunk` into `data`, then runs `training::learn_chunk`. Returns the
// chunk's final ids. When `known_merged` is not null and this is not the
// first chunk, it receives the ids after the known merges.
template <class Sequence>
std::vector<model::TokenId> train_chunk(
    model::Data& data, std::string_view chunk, bool first_chunk,
    bool print_logs, training::LogSink& log, training::Console& console,
    std::vector<model::TokenId>* known_merged = nullptr) {
  KnownMergesRecorder<Sequence> sequence(
      training::pretokenize_chunk(data, chunk), known_merged);
  training::learn_chunk(data, sequence, first_chunk, print_logs, log, console);
  const auto ids = sequence.ids();
  return {ids.begin(), ids.end()};
}

}  // namespace selvane::testing

#endif  // SELVANE_TESTS_TESTING_TRAIN_CHUNK_H_
