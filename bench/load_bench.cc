// Times load_from_file on a model at the id-space limit: 65,536 `lookup`
// entries, 60,000 merges and a base vocabulary of 5,000 clusters, written
// once to a temporary file. Prints the median of many loads.
//
// Usage: load_bench [runs]

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "model/data.h"
#include "model/load.h"
#include "model/model_file.h"
#include "text/utf8.h"

namespace {

using selvane::model::Data;
using selvane::model::TokenId;

constexpr std::size_t kLookupEntries = 65'536;
constexpr std::size_t kMerges = 60'000;
constexpr std::size_t kClusters = 5'000;

// Arabic-looking tokens: two-byte code points from U+0621..U+064A, clusters
// of one or two, merged tokens longer as ids grow.
std::string token_bytes(std::size_t id, std::mt19937& rng) {
  std::uniform_int_distribution<int> letter(0x21, 0x4A);
  const std::size_t code_points = id < kClusters ? 1 + id % 2 : 2 + id % 9;
  std::string out;
  for (std::size_t i = 0; i < code_points; ++i) {
    selvane::text::append_code_point(
        out, static_cast<char32_t>(0x600 + letter(rng)));
  }
  return out;
}

Data build_model() {
  std::mt19937 rng(42);
  Data data;
  std::vector<std::string> tokens;
  for (std::size_t id = 0; id < kLookupEntries; ++id) {
    tokens.push_back(id == 0 ? std::string() : token_bytes(id, rng));
    data.lookup.insert_or_assign(static_cast<TokenId>(id), tokens.back());
  }
  data.unicode_lookup.emplace("oov", TokenId{0});
  for (std::size_t id = 1; id < kClusters; ++id) {
    data.unicode_lookup.emplace(tokens[id], static_cast<TokenId>(id));
  }
  std::uniform_int_distribution<std::size_t> part(1, kLookupEntries - 1);
  while (data.merges.size() < kMerges) {
    const std::size_t merged = kClusters + data.merges.size();
    data.merges.emplace(
        selvane::model::pair_key(static_cast<TokenId>(part(rng)),
                                 static_cast<TokenId>(part(rng))),
        static_cast<TokenId>(merged % kLookupEntries));
  }
  return data;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 101;
  const std::string image = selvane::model::encode_model(build_model());

  char path[] = "/tmp/selvane-load-bench-XXXXXX";
  const int fd = ::mkstemp(path);
  if (fd < 0) {
    std::perror("mkstemp");
    return 1;
  }
  ::close(fd);
  std::ofstream(path, std::ios::binary) << image;

  std::vector<double> ms;
  std::size_t check = 0;
  for (int i = 0; i < runs; ++i) {
    const auto start = std::chrono::steady_clock::now();
    const Data data = selvane::model::load_from_file(path);
    const auto stop = std::chrono::steady_clock::now();
    check += data.lookup.size() + data.merges.size();
    ms.push_back(
        std::chrono::duration<double, std::milli>(stop - start).count());
  }
  ::unlink(path);
  std::sort(ms.begin(), ms.end());
  std::printf(
      "load_from_file: %zu-byte model (%zu lookup, %zu merges, %zu texts), "
      "%d runs\n",
      image.size(), kLookupEntries, kMerges, kClusters, runs);
  std::printf("median %.3f ms, min %.3f ms, max %.3f ms (check %zu)\n",
              ms[ms.size() / 2], ms.front(), ms.back(), check);
  return 0;
}
