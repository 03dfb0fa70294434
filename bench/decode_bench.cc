// Decode throughput on real text. Builds a model by hand from a corpus: one
// token per distinct code point plus the most frequent whole words, up to
// the 65,536 ids there are. Tokenizes the corpus with it (known words whole,
// other words as code points, whitespace as code points), then times two
// ways of decoding the whole id list and prints the median MB/s of output
// text for each: `decode` (the joined bytes) and `text_shape` plus
// `write_text` (the code points in the width of a Python string).
//
// Usage: decode_bench [corpus] [runs]

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "codec/decode.h"
#include "model/data.h"
#include "text/utf8.h"

namespace {

using selvane::model::Data;
using selvane::model::TokenId;

constexpr std::string_view kDefaultCorpus =
    SELVANE_CORPORA_DIR "/tashkeela-msa/msa.txt";

bool is_space(char c) {
  return c == ' ' || c == '\n' || c == '\t' || c == '\r';
}

std::size_t code_point_length(std::string_view text, std::size_t i) {
  std::size_t j = i + 1;
  while (j < text.size() &&
         (static_cast<unsigned char>(text[j]) & 0xC0u) == 0x80u) {
    ++j;
  }
  return j - i;
}

class Builder {
 public:
  TokenId id_of(std::string_view bytes) {
    auto found = ids_.find(std::string(bytes));
    if (found != ids_.end()) return found->second;
    const auto id = static_cast<TokenId>(data_.lookup.size());
    data_.lookup.insert_or_assign(id, std::string(bytes));
    ids_.emplace(std::string(bytes), id);
    return id;
  }
  bool knows(std::string_view bytes) const {
    return ids_.contains(std::string(bytes));
  }
  std::size_t size() const { return data_.lookup.size(); }
  Data& data() { return data_; }

 private:
  Data data_;
  std::unordered_map<std::string, TokenId> ids_;
};

// Calls `visit(piece, is_word)` for each maximal run of non-space bytes and
// each single whitespace byte.
template <typename Visit>
void split(std::string_view text, Visit&& visit) {
  std::size_t i = 0;
  while (i < text.size()) {
    if (is_space(text[i])) {
      visit(text.substr(i, 1), false);
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < text.size() && !is_space(text[j])) ++j;
    visit(text.substr(i, j - i), true);
    i = j;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::string corpus_path(argc > 1 ? argv[1] : kDefaultCorpus);
  const int runs = argc > 2 ? std::atoi(argv[2]) : 15;
  std::FILE* in = std::fopen(corpus_path.c_str(), "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "cannot read %s\n", corpus_path.c_str());
    return 1;
  }
  std::string raw;
  char chunk[1 << 16];
  for (std::size_t got; (got = std::fread(chunk, 1, sizeof chunk, in)) > 0;) {
    raw.append(chunk, got);
  }
  std::fclose(in);
  const std::string text = selvane::text::decode_utf8_lossy(raw);

  Builder model;
  model.id_of("");  // id 0, as training reserves it
  std::unordered_map<std::string_view, std::size_t> word_counts;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = code_point_length(text, i);
    model.id_of(std::string_view(text).substr(i, n));
    i += n;
  }
  split(text, [&](std::string_view piece, bool word) {
    if (word) ++word_counts[piece];
  });
  std::vector<std::pair<std::size_t, std::string_view>> by_count;
  for (const auto& [word, count] : word_counts)
    by_count.emplace_back(count, word);
  std::sort(by_count.begin(), by_count.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });
  for (const auto& [count, word] : by_count) {
    if (model.size() >= selvane::model::kTokenIdCount) break;
    if (count < 2) break;
    model.id_of(word);
  }

  std::vector<TokenId> ids;
  split(text, [&](std::string_view piece, bool word) {
    if (!word || model.knows(piece)) {
      ids.push_back(model.id_of(piece));
      return;
    }
    for (std::size_t i = 0; i < piece.size();) {
      const std::size_t n = code_point_length(piece, i);
      ids.push_back(model.id_of(piece.substr(i, n)));
      i += n;
    }
  });

  const Data& data = model.data();
  if (selvane::codec::decode(data, ids) != text) {
    std::fprintf(stderr, "decoded text differs from the corpus\n");
    return 1;
  }
  // The joined bytes, as for a model with invalid entries, and the code
  // points written in the string's width, as `decode` from Python does for
  // a model whose entries are all valid UTF-8.
  const selvane::codec::TextShape shape = selvane::codec::text_shape(data, ids);
  std::vector<std::uint16_t> narrow(
      shape.max_code_point < 0x10000 ? shape.length : std::size_t{0});
  std::vector<std::uint32_t> wide(shape.length);
  selvane::codec::write_text(data, ids, std::span<std::uint32_t>(wide));
  std::string rewritten;
  for (const char32_t c : wide) selvane::text::append_code_point(rewritten, c);
  if (rewritten != text) {
    std::fprintf(stderr, "written code points differ from the corpus\n");
    return 1;
  }
  std::vector<double> joined_mbps;
  std::vector<double> written_mbps;
  for (int r = 0; r < runs; ++r) {
    auto start = std::chrono::steady_clock::now();
    const std::string out = selvane::codec::decode(data, ids);
    auto stop = std::chrono::steady_clock::now();
    joined_mbps.push_back(static_cast<double>(out.size()) / 1e6 /
                          std::chrono::duration<double>(stop - start).count());
    start = std::chrono::steady_clock::now();
    const selvane::codec::TextShape measured =
        selvane::codec::text_shape(data, ids);
    if (narrow.empty()) {
      selvane::codec::write_text(data, ids, std::span<std::uint32_t>(wide));
    } else {
      selvane::codec::write_text(data, ids, std::span<std::uint16_t>(narrow));
    }
    stop = std::chrono::steady_clock::now();
    if (measured.length != shape.length) return 1;
    written_mbps.push_back(static_cast<double>(text.size()) / 1e6 /
                           std::chrono::duration<double>(stop - start).count());
  }
  std::printf(
      "decode: %s, %zu bytes of text, %zu ids, %zu-token model, %d runs\n",
      corpus_path.c_str(), text.size(), ids.size(), data.lookup.size(), runs);
  for (auto* mbps : {&joined_mbps, &written_mbps}) {
    std::sort(mbps->begin(), mbps->end());
    std::printf("%-12s median %.1f MB/s (min %.1f, max %.1f)\n",
                mbps == &joined_mbps ? "joined bytes" : "code points",
                (*mbps)[mbps->size() / 2], mbps->front(), mbps->back());
  }
  return 0;
}
