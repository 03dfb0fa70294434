#ifndef SELVANE_MODEL_CLUSTER_CACHE_H_
#define SELVANE_MODEL_CLUSTER_CACHE_H_

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace selvane::model {

// ClusterCache
//
// What the short clusters met so far in one text were found to be in the
// model's cluster table, in a direct-mapped table keyed by the cluster's
// bytes packed in a word. A text uses a few hundred distinct clusters over
// and over, and a hit costs a multiply and one compare, where the model's
// table hashes the bytes and compares them through its entry. A miss or a
// collision just asks the model again, so every value is exactly what the
// lookup gives, as long as that does not change while the cache lives.
// Its table costs a 64 KiB clear, which only a text of many kilobytes
// earns back.
template <class Value>
class ClusterCache {
 public:
  ClusterCache() : entries_(kEntries) {}

  // Returns the value of `cluster`, a view into `text`, from the cache or
  // from `look_up(cluster)`.
  template <class LookUp>
  Value value_of(std::string_view text, std::string_view cluster,
                 LookUp&& look_up) {
    if (cluster.size() > sizeof(std::uint64_t)) return look_up(cluster);
    const std::uint64_t bytes = pack(text, cluster);
    Entry& entry = entries_[(bytes * kHashFactor) >> kShift];
    if (entry.length == cluster.size() && entry.bytes == bytes) {
      return entry.value;
    }
    const Value value = look_up(cluster);
    entry = Entry{bytes, value, static_cast<std::uint8_t>(cluster.size())};
    return value;
  }

 private:
  static constexpr std::size_t kBits = 12;
  static constexpr std::size_t kEntries = std::size_t{1} << kBits;
  static constexpr int kShift = 64 - static_cast<int>(kBits);
  static constexpr std::uint64_t kHashFactor = 0x9E3779B97F4A7C15ull;

  // An empty entry has length 0, which no cluster has.
  struct Entry {
    std::uint64_t bytes = 0;
    Value value = 0;
    std::uint8_t length = 0;
  };

  // Returns the bytes of `cluster` (at most eight) in the low bytes of a
  // word, the rest zero. Where the text goes on for a whole word, one load
  // and a mask do it.
  static std::uint64_t pack(std::string_view text, std::string_view cluster) {
    std::uint64_t bytes = 0;
    const auto offset = static_cast<std::size_t>(cluster.data() - text.data());
    // The mask keeps the first bytes only where they are the low ones.
    if (std::endian::native == std::endian::little &&
        text.size() - offset >= sizeof bytes) {
      std::memcpy(&bytes, cluster.data(), sizeof bytes);
      if (cluster.size() < sizeof bytes) {
        bytes &= (std::uint64_t{1} << (8 * cluster.size())) - 1;
      }
    } else {
      std::memcpy(&bytes, cluster.data(), cluster.size());
    }
    return bytes;
  }

  std::vector<Entry> entries_;
};

}  // namespace selvane::model

#endif  // SELVANE_MODEL_CLUSTER_CACHE_H_
