#include "text/grapheme.h"

#include <array>
#include <cstdint>

#include "text/grapheme_break_tables_generated.h"
#include "text/utf8.h"

namespace selvane::text {
namespace {

// The segmenter is a state machine over property bytes. A state stands for
// what the rules need to know about the text since the start of the cluster:
// the break property of the last code point, whether a regional indicator
// opens or closes a pair, and whether the last code points are an
// Extended_Pictographic followed by Extend* (and a ZWJ). Since a cluster
// boundary resets both the pairing of regional indicators and the emoji
// prefix, each call starts afresh at `start`.
using State = std::uint8_t;

constexpr State kState(GraphemeBreak value) {
  return static_cast<State>(value);
}
// States 0 to 13 are the GraphemeBreak values; a kRegionalIndicator state is
// an indicator with an odd number of indicators before it.
constexpr State kRegionalIndicatorPaired = kGraphemeBreakCount;
// ExtPict Extend*: last code point pictographic, or Extend after one.
constexpr State kPictographic = kGraphemeBreakCount + 1;
// ExtPict Extend* ZWJ.
constexpr State kPictographicZwj = kGraphemeBreakCount + 2;
constexpr std::size_t kStateCount = kGraphemeBreakCount + 3;

// Property bytes index the columns: break property in the low four bits and
// the Extended_Pictographic bit above them.
constexpr std::size_t kColumnCount = 32;
static_assert(kExtendedPictographicBit < kColumnCount &&
              kGraphemeBreakMask < kExtendedPictographicBit);

// The break property that the rules see for a state.
constexpr GraphemeBreak state_break(State state) {
  if (state == kRegionalIndicatorPaired) {
    return GraphemeBreak::kRegionalIndicator;
  }
  // Other and Extend lead to the same decisions as the left side, so the
  // emoji prefix can stand for either.
  if (state == kPictographic) return GraphemeBreak::kOther;
  if (state == kPictographicZwj) return GraphemeBreak::kZwj;
  return static_cast<GraphemeBreak>(state);
}

constexpr bool is_control_like(GraphemeBreak value) {
  return value == GraphemeBreak::kControl || value == GraphemeBreak::kCr ||
         value == GraphemeBreak::kLf;
}

// Whether the rules allow a break between a code point in `state` and one
// with property byte `next`.
constexpr bool breaks(State state, std::uint8_t next) {
  using enum GraphemeBreak;
  const GraphemeBreak left = state_break(state);
  const auto right = static_cast<GraphemeBreak>(next & kGraphemeBreakMask);
  const bool right_pictographic = (next & kExtendedPictographicBit) != 0;
  // GB3
  if (left == kCr && right == kLf) return false;
  // GB4
  if (is_control_like(left)) return true;
  // GB5
  if (is_control_like(right)) return true;
  // GB6
  if (left == kL &&
      (right == kL || right == kV || right == kLv || right == kLvt)) {
    return false;
  }
  // GB7
  if ((left == kLv || left == kV) && (right == kV || right == kT)) {
    return false;
  }
  // GB8
  if ((left == kLvt || left == kT) && right == kT) return false;
  // GB9
  if (right == kExtend || right == kZwj) return false;
  // GB9a
  if (right == kSpacingMark) return false;
  // GB9b
  if (left == kPrepend) return false;
  // GB11
  if (state == kPictographicZwj && right_pictographic) return false;
  // GB12, GB13: an odd number of indicators before this one.
  if (state == kState(kRegionalIndicator) && right == kRegionalIndicator) {
    return false;
  }
  // GB999
  return true;
}

// The state after a code point with property byte `next` that joins the
// cluster in `state`.
constexpr State advance(State state, std::uint8_t next) {
  using enum GraphemeBreak;
  const auto right = static_cast<GraphemeBreak>(next & kGraphemeBreakMask);
  if ((next & kExtendedPictographicBit) != 0) return kPictographic;
  if (state == kPictographic && right == kExtend) return kPictographic;
  if (state == kPictographic && right == kZwj) return kPictographicZwj;
  if (right == kRegionalIndicator && state == kState(kRegionalIndicator)) {
    return kRegionalIndicatorPaired;
  }
  return kState(right);
}

// The transition table, flattened: a state's row starts at state *
// kColumnCount, and the entries hold the next state's row offset so that the
// loop does one add and one load per code point.
using Offset = std::uint16_t;
constexpr Offset kBreakOffset = 0xFFFF;
// A virtual state before the first code point of a cluster; nothing breaks
// there (GB1 and GB2 leave nothing to decide inside the text).
constexpr State kStart = kStateCount;
constexpr Offset kStartOffset = kStart * kColumnCount;

constexpr std::array<Offset, (kStateCount + 1)* kColumnCount> kTransitions =
    [] {
      std::array<Offset, (kStateCount + 1) * kColumnCount> table{};
      for (std::size_t state = 0; state <= kStateCount; ++state) {
        for (std::size_t next = 0; next < kColumnCount; ++next) {
          const auto s = static_cast<State>(state);
          const auto n = static_cast<std::uint8_t>(next);
          Offset entry = kBreakOffset;
          if (s == kStart) {
            entry = advance(kState(GraphemeBreak::kOther), n) * kColumnCount;
          } else if (!breaks(s, n)) {
            entry = advance(s, n) * kColumnCount;
          }
          table[state * kColumnCount + next] = entry;
        }
      }
      return table;
    }();

// Property byte given to each ill-formed byte: as a Control code point it is a
// cluster of its own and never absorbs a following mark, so a stray byte
// cannot change how the valid text around it is split.
constexpr std::uint8_t kIllFormed =
    static_cast<std::uint8_t>(GraphemeBreak::kControl);

inline bool is_continuation(std::uint8_t byte) { return (byte & 0xC0) == 0x80; }

// Reads the code point of three or four bytes, or the ill-formed byte, at `i`
// (below `size`) and returns its property byte, setting `length` to its byte
// count. A byte that does not start a well-formed sequence reads as one
// kIllFormed byte; nothing at or past `size` is read.
std::uint8_t read_long(const std::uint8_t* data, std::size_t i,
                       std::size_t size, std::size_t& length) {
  const std::uint8_t lead = data[i];
  const Utf8Lead form = utf8_lead(lead);
  // Two-byte forms are read by the caller; past the lead byte's range of
  // second bytes every byte must be a continuation.
  if (form.length >= 3 && size - i >= form.length) {
    const std::uint8_t second = data[i + 1];
    if (second >= form.low && second <= form.high &&
        is_continuation(data[i + 2])) {
      if (form.length == 3) {
        length = 3;
        return grapheme_properties(static_cast<char32_t>(
            ((lead & 0x0Fu) << 12) | ((second & 0x3Fu) << 6) |
            (data[i + 2] & 0x3Fu)));
      }
      if (is_continuation(data[i + 3])) {
        length = 4;
        return grapheme_properties(static_cast<char32_t>(
            ((lead & 0x07u) << 18) | ((second & 0x3Fu) << 12) |
            ((data[i + 2] & 0x3Fu) << 6) | (data[i + 3] & 0x3Fu)));
      }
    }
  }
  length = 1;
  return kIllFormed;
}

// Returns the property byte of the code point (or ill-formed byte) at `i`
// (below `size`), setting `length` to its byte count.
inline std::uint8_t read_properties(const std::uint8_t* data, std::size_t i,
                                    std::size_t size, std::size_t& length) {
  const std::uint8_t lead = data[i];
  if (lead < 0x80) {
    length = 1;
    return kGraphemeDirect[lead];
  }
  if (static_cast<std::uint8_t>(lead - 0xC2) <= 0xDF - 0xC2 && i + 1 < size &&
      is_continuation(data[i + 1])) {
    // Two bytes, C2..DF then a continuation: U+0080..U+07FF, Arabic
    // included.
    length = 2;
    return kGraphemeDirect[((lead & 0x1Fu) << 6) | (data[i + 1] & 0x3Fu)];
  }
  return read_long(data, i, size, length);
}

// The fast loop's view of a property byte. A "plain" code point is Other,
// Control, LF, Extend, ZWJ or SpacingMark, without the pictographic bit:
// between plain code points the only rules that apply are GB4, GB5, GB9 and
// GB9a, so a break comes before a plain code point exactly when it does not
// join (Extend, ZWJ, SpacingMark) or the one before it is Control or LF. The
// state after one is its break property, as `advance` gives it.
constexpr std::uint8_t kFastPlain = 1;
constexpr std::uint8_t kFastJoins = 2;
constexpr std::uint8_t kFastControl = 4;

constexpr std::array<std::uint8_t, 256> kFastFlags = [] {
  using enum GraphemeBreak;
  std::array<std::uint8_t, 256> flags{};
  for (std::size_t byte = 0; byte < kColumnCount; ++byte) {
    if ((byte & kExtendedPictographicBit) != 0) continue;
    const auto value = static_cast<GraphemeBreak>(byte & kGraphemeBreakMask);
    if (value == kOther || value == kExtend || value == kZwj ||
        value == kSpacingMark) {
      flags[byte] = kFastPlain;
    }
    if (value == kControl || value == kLf) {
      flags[byte] = kFastPlain | kFastControl;
    }
    if (value == kExtend || value == kZwj || value == kSpacingMark) {
      flags[byte] |= kFastJoins;
    }
  }
  return flags;
}();

// The states that a plain code point leaves, as a bit set over state numbers:
// from these the fast loop may carry on.
constexpr std::uint32_t kPlainStates = [] {
  std::uint32_t states = 0;
  for (std::size_t byte = 0; byte < kColumnCount; ++byte) {
    if ((kFastFlags[byte] & kFastPlain) != 0) {
      states |= std::uint32_t{1} << advance(kState(GraphemeBreak::kOther),
                                            static_cast<std::uint8_t>(byte));
    }
  }
  return states;
}();
static_assert(kStateCount < 32);

// Checks the fast loop's rule against the transition table for every plain
// state and plain property byte.
constexpr bool fast_rule_matches_table() {
  for (State state = 0; state < kStateCount; ++state) {
    if (((kPlainStates >> state) & 1) == 0) continue;
    const bool left_control =
        (kFastFlags[state] & kFastControl) != 0;  // a state is its property
    for (std::size_t byte = 0; byte < kColumnCount; ++byte) {
      const std::uint8_t flags = kFastFlags[byte];
      if ((flags & kFastPlain) == 0) continue;
      const bool fast_break = left_control || (flags & kFastJoins) == 0;
      const Offset entry = kTransitions[state * kColumnCount + byte];
      if (fast_break != (entry == kBreakOffset)) return false;
      const auto after =
          static_cast<Offset>((byte & kGraphemeBreakMask) * kColumnCount);
      if (!fast_break && entry != after) return false;
      if (fast_break && kTransitions[kStartOffset + byte] != after) {
        return false;
      }
    }
  }
  return true;
}
static_assert(fast_rule_matches_table());

// The rows of the transition table that the plain states share: after a plain
// code point only whether it was Control or LF matters (GB4), so the fast
// loop leaves one of these two behind.
constexpr Offset kOtherRow = kState(GraphemeBreak::kOther) * kColumnCount;
constexpr Offset kControlRow = kState(GraphemeBreak::kControl) * kColumnCount;

constexpr bool plain_rows_match() {
  for (State state = 0; state < kStateCount; ++state) {
    if (((kPlainStates >> state) & 1) == 0) continue;
    const Offset row =
        (kFastFlags[state] & kFastControl) != 0 ? kControlRow : kOtherRow;
    for (std::size_t column = 0; column < kColumnCount; ++column) {
      if (kTransitions[state * kColumnCount + column] !=
          kTransitions[row + column]) {
        return false;
      }
    }
  }
  return true;
}
static_assert(plain_rows_match());

}  // namespace

std::size_t next_grapheme_breaks(std::string_view text, std::size_t start,
                                 std::span<std::size_t> ends) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t size = text.size();
  if (ends.empty() || start >= size) return 0;
  std::size_t count = 0;
  // One walk over the code points: the one at a break opens the next
  // cluster from the start state, which is where a fresh call would put
  // it, so each code point is read once instead of once more as the
  // lookahead that ended the cluster before it.
  Offset state = kStartOffset;
  std::size_t i = start;
  do {
    if (((kPlainStates >> (state / kColumnCount)) & 1) != 0) {
      // Runs of plain ASCII and two-byte code points, Arabic prose with its
      // marks above all, go without the state machine: the break before
      // each is a function of its own flags and whether the one before is
      // Control or LF, stored without a branch, so that the alternation of
      // letters, marks and spaces costs no mispredictions. Anything else
      // (three and four bytes, ill-formed bytes, the last byte, other
      // properties) leaves it for one step of the general loop below.
      std::uint32_t left_control =
          (kFastFlags[state / kColumnCount] & kFastControl) != 0;
      while (i + 1 < size) {
        const std::uint32_t lead = data[i];
        std::uint32_t index = lead;
        std::size_t length = 1;
        if (lead >= 0x80) {
          const std::uint32_t second = data[i + 1];
          if (lead - 0xC2u > 0xDFu - 0xC2u || (second & 0xC0u) != 0x80u) {
            break;
          }
          index = ((lead & 0x1Fu) << 6) | (second & 0x3Fu);
          length = 2;
        }
        const std::uint8_t properties = kGraphemeDirect[index];
        const std::uint8_t flags = kFastFlags[properties];
        if ((flags & kFastPlain) == 0) break;
        ends[count] = i;
        count += left_control | (((flags & kFastJoins) >> 1) ^ 1u);
        if (count == ends.size()) return count;
        left_control = (flags & kFastControl) >> 2;
        i += length;
      }
      state = left_control != 0 ? kControlRow : kOtherRow;
      if (i >= size) break;
    }
    std::size_t length;
    const std::uint8_t properties = read_properties(data, i, size, length);
    Offset next = kTransitions[state + properties];
    if (next == kBreakOffset) {
      ends[count++] = i;
      if (count == ends.size()) return count;
      next = kTransitions[kStartOffset + properties];
    }
    state = next;
    i += length;
  } while (i < size);
  // GB2
  ends[count++] = size;
  return count;
}

}  // namespace selvane::text
