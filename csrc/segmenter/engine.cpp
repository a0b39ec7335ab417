// The engine's loading of the five files and its segmentation modes. Every rule here is the
// library's, reproduced step for step where the floating-point result depends on the order.
#include "engine.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <iterator>
#include <map>

#if defined(__SSE2__)
#include <emmintrin.h>  // Viterbi under the library's model, two states a register
#endif

namespace lumo::segmenter {
namespace {

// The library's "impossible" log weight, which it also uses as the start of every maximum.
constexpr double kMinDouble = -3.14e+100;
constexpr std::size_t kMaxWordLength = kMaxMatchRunes;
constexpr std::size_t kB = 0, kE = 1, kM = 2, kS = 3;  // E and S end a word
constexpr std::uint32_t kNoSlot = UINT32_MAX;

// The library's log line (limonp's Logger): local time, source, level, message.
void log_error(const char* source, const std::string& message) {
  char stamp[32];
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
  std::cerr << (std::string(stamp) + " " + source + " ERROR " + message) << std::endl;
}

// The library's UTF-8 decoder: only lead bytes are looked at, so overlong forms, surrogates and
// stray continuation bytes decode; a lead byte of 0xf8 or more, or a sequence cut short by the
// end, fails the whole text. Returns the length of the rune at text[0, left), 0 on failure.
inline std::uint32_t decode_rune(const unsigned char* text, std::size_t left, std::uint32_t& rune) {
  const unsigned lead = text[0];
  if (lead < 0x80) {
    rune = lead;
    return 1;
  }
  if (lead <= 0xdf && left > 1) {
    rune = ((lead & 0x1fu) << 6) | (text[1] & 0x3fu);
    return 2;
  }
  if (lead <= 0xef && left > 2) {
    rune = ((lead & 0x0fu) << 12) | ((text[1] & 0x3fu) << 6) | (text[2] & 0x3fu);
    return 3;
  }
  if (lead <= 0xf7 && left > 3) {
    rune = ((lead & 0x07u) << 18) | ((text[1] & 0x3fu) << 12) | ((text[2] & 0x3fu) << 6) | (text[3] & 0x3fu);
    return 4;
  }
  return 0;
}

// The code points of `text`, or false where the library's decoder fails.
bool decode_runes(std::string_view text, std::vector<std::uint32_t>& runes) {
  runes.clear();
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (std::size_t i = 0; i < text.size();) {
    std::uint32_t rune = 0;
    const std::uint32_t length = decode_rune(bytes + i, text.size() - i, rune);
    if (length == 0) return false;
    runes.push_back(rune);
    i += length;
  }
  return true;
}

// std::getline over the content: a final line feed does not start another line.
template <class Visit>
void for_each_line(std::string_view content, Visit visit) {
  std::size_t start = 0;
  while (start < content.size()) {
    std::size_t end = content.find('\n', start);
    if (end == std::string_view::npos) end = content.size();
    visit(content.substr(start, end - start));
    start = end + 1;
  }
}

// limonp::Split on one separator byte: empty fields kept, none after a final separator.
void split(std::string_view line, char separator, std::vector<std::string_view>& fields) {
  fields.clear();
  std::size_t start = 0;
  while (start < line.size()) {
    std::size_t end = line.find(separator, start);
    if (end == std::string_view::npos) end = line.size();
    fields.push_back(line.substr(start, end - start));
    start = end + 1;
  }
}

// std::atof and std::atoi as the library calls them, on a terminated copy of the field.
double as_double(std::string_view field, std::string& scratch) {
  scratch.assign(field.data(), field.size());
  return std::atof(scratch.c_str());
}

int as_int(std::string_view field, std::string& scratch) {
  scratch.assign(field.data(), field.size());
  return std::atoi(scratch.c_str());
}

// limonp's Trim: ASCII white space at both ends (its IsSpace refuses every byte above 0x7f,
// which it sees sign-extended).
std::string_view trim(std::string_view line) {
  const auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
  while (!line.empty() && space(line.front())) line.remove_prefix(1);
  while (!line.empty() && space(line.back())) line.remove_suffix(1);
  return line;
}

// Space, tab, line feed, and the full-width comma and full stop.
inline bool is_separator(std::uint32_t rune) {
  constexpr std::uint64_t kAsciiSeparators = (std::uint64_t{1} << ' ') | (1u << '\t') | (1u << '\n');
  return rune <= ' ' ? ((kAsciiSeparators >> rune) & 1u) != 0 : rune == 0xff0c || rune == 0x3002;
}

#if defined(__SSE2__)
// Viterbi's back-pointers a rune under the library's model, from which of each state's two
// candidates won: bit y says the first (from E, B, B, E for B, E, M, S) beat kMinDouble, bit 4 + y
// that the second (from S, M, M, S) beat the best so far; neither leaves kE. Two bits a state, as
// the path byte holds them.
constexpr std::array<std::uint8_t, 256> library_path_bytes() {
  constexpr std::size_t kFirst[kHmmStates] = {kE, kB, kB, kE};
  constexpr std::size_t kSecond[kHmmStates] = {kS, kM, kM, kS};
  std::array<std::uint8_t, 256> bytes{};
  for (std::size_t taken = 0; taken < 256; ++taken) {
    std::size_t byte = 0;
    for (std::size_t y = 0; y < kHmmStates; ++y) {
      const std::size_t from = (taken >> (4 + y)) & 1u ? kSecond[y] : (taken >> y) & 1u ? kFirst[y] : kE;
      byte |= from << (2 * y);
    }
    bytes[taken] = static_cast<std::uint8_t>(byte);
  }
  return bytes;
}
constexpr std::array<std::uint8_t, 256> kLibraryPathByte = library_path_bytes();
#endif

inline bool is_letter(std::uint32_t rune) { return (rune >= 'a' && rune <= 'z') || (rune >= 'A' && rune <= 'Z'); }
inline bool is_digit(std::uint32_t rune) { return rune >= '0' && rune <= '9'; }

// A growable array of a trivially copyable type whose appends stay inline: std::vector's
// emplace_back was compiled out of line, about 29 instructions a word (callgrind, the novel).
// Growing keeps the elements; reserve does not initialise the new ones.
template <class T>
class Buffer {
 public:
  T* data() noexcept { return data_.get(); }
  const T* data() const noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  std::size_t capacity() const noexcept { return capacity_; }
  T* begin() noexcept { return data_.get(); }
  T* end() noexcept { return data_.get() + size_; }
  T& operator[](std::size_t index) noexcept { return data_[index]; }
  void clear() noexcept { size_ = 0; }
  // Room for `count` elements in all; the size is left alone.
  void reserve(std::size_t count) {
    if (count > capacity_) grow(count);
  }
  // The size is set to `count` (at most the capacity, after reserve).
  void set_size(std::size_t count) noexcept { size_ = count; }
  template <class... Args>
  void emplace_back(Args... args) {
    if (size_ == capacity_) grow(size_ + 1);
    data_[size_++] = T{args...};
  }

 private:
  [[gnu::noinline]] void grow(std::size_t count) {
    const std::size_t capacity = std::max(count, capacity_ * 2);
    std::unique_ptr<T[]> grown(new T[capacity]);
    if (size_ != 0) std::memcpy(grown.get(), data_.get(), size_ * sizeof(T));
    data_ = std::move(grown);
    capacity_ = capacity;
  }
  std::unique_ptr<T[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

struct RuneSpan {
  std::uint32_t start;
  std::uint32_t length;
};

// The caller's spans made from rune spans and byte offsets as they are read, so that
// std::vector::assign builds them in place: resizing first set every span it added to zero, and
// the loop after it wrote them again (callgrind, the novel: mixed cut 36.20M -> 35.77M
// instructions, search 39.99M -> 39.53M). offsets[start] is loaded once: with the span built
// whole, it was loaded twice. Its reference is a value, which assign only ever copies from.
class WordSpanMaker {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = WordSpan;
  using difference_type = std::ptrdiff_t;
  using pointer = const WordSpan*;
  using reference = WordSpan;
  WordSpanMaker(const RuneSpan* span, const std::uint32_t* offsets) : span_(span), offsets_(offsets) {}
  WordSpan operator*() const {
    const std::uint32_t first = offsets_[span_->start];
    return WordSpan{first, offsets_[span_->start + span_->length] - first, span_->start, span_->length};
  }
  WordSpanMaker& operator++() {
    ++span_;
    return *this;
  }
  WordSpanMaker operator++(int) {
    WordSpanMaker before = *this;
    ++span_;
    return before;
  }
  bool operator==(const WordSpanMaker& other) const { return span_ == other.span_; }
  bool operator!=(const WordSpanMaker& other) const { return span_ != other.span_; }

 private:
  const RuneSpan* span_;
  const std::uint32_t* offsets_;
};

}  // namespace

// Buffers reused across the calls of one thread.
struct Engine::Scratch {
  Buffer<std::uint32_t> runes;
  Buffer<std::uint32_t> offsets;  // byte offset of each rune, and the sentence's size last
  Buffer<double> route_weight;    // best log weight from each position to the range's end
  Buffer<std::uint32_t> route_length;  // length of the first word on that best route
  Buffer<RuneSpan> words;
  Buffer<RuneSpan> mixed;  // one range's mixed words, for search
  Buffer<std::uint8_t> has_three;  // search: whether the three runes from each start are a word
  std::vector<std::pair<std::uint32_t, const TrieCell*>> matches;  // full mode: one position's words
  Buffer<std::uint8_t> state_path;
  Buffer<std::uint8_t> states;
  std::vector<std::uint32_t> tag_slot;  // tag: by tag id, its index in the call's names, or kNoSlot
  std::vector<std::size_t> tags_used;   // tag: the ids whose slot is set
};

std::int32_t Engine::tag_id(const std::string& tag) {
  const auto found = tag_ids_.find(tag);
  if (found != tag_ids_.end()) return found->second;
  const auto id = static_cast<std::int32_t>(tags_.size());
  tags_.push_back(tag);
  tag_ids_.emplace(tag, id);
  return id;
}

Engine::Engine(const SegmenterFiles& files) {
  // The library's order: the main dictionary, its weights, the user dictionaries, then the model,
  // the IDF table and the stop words.
  load_dictionary(files.dict);
  std::vector<std::uint32_t> runes;
  for (const std::string& user : files.user_dicts) load_user_dictionary(user, runes);
  std::sort(user_singles_.begin(), user_singles_.end());
  user_singles_.erase(std::unique(user_singles_.begin(), user_singles_.end()), user_singles_.end());
  index_user_singles();
  load_hmm(files.hmm);
  plan_transitions();
  load_idf(files.idf);
  load_stop_words(files.stop_words);
}

void Engine::load_dictionary(const std::string& content) {
  struct Entry {
    std::size_t rune_start;
    std::size_t rune_count;
    double weight;
    std::int32_t tag;
  };
  std::vector<Entry> entries;
  std::vector<std::uint32_t> all_runes;
  std::vector<std::string_view> fields;
  std::vector<std::uint32_t> runes;
  std::string scratch;
  for_each_line(content, [&](std::string_view line) {
    split(line, ' ', fields);  // three fields, a decodable word: the checks refused anything else
    decode_runes(fields[0], runes);
    entries.push_back(Entry{all_runes.size(), runes.size(), as_double(fields[1], scratch),
                            tag_id(std::string(fields[2]))});
    all_runes.insert(all_runes.end(), runes.begin(), runes.end());
  });
  // Weights become log(weight / sum), summed in file order.
  double sum = 0.0;
  for (const Entry& entry : entries) sum += entry.weight;
  freq_sum_ = sum;
  std::vector<double> weights;
  weights.reserve(entries.size());
  for (Entry& entry : entries) {
    entry.weight = std::log(entry.weight / sum);
    weights.push_back(entry.weight);
  }
  // The library sorts a copy of its entries by weight with std::sort; sorting the weights alone
  // makes the same comparisons, so NaN weights land where they land there.
  std::sort(weights.begin(), weights.end(), [](double lhs, double rhs) { return lhs < rhs; });
  min_weight_ = weights.front();
  user_word_default_weight_ = weights[weights.size() / 2];
  for (const Entry& entry : entries) {
    trie_.insert(all_runes.data() + entry.rune_start, entry.rune_count, entry.weight, entry.tag);
  }
}

void Engine::load_user_dictionary(const std::string& content, std::vector<std::uint32_t>& runes) {
  std::vector<std::string_view> fields;
  std::string scratch;
  for_each_line(content, [&](std::string_view line) {
    if (line.empty()) return;
    split(line, ' ', fields);
    double weight = user_word_default_weight_;
    std::string_view tag;
    if (fields.size() == 2) {
      tag = fields[1];
    } else if (fields.size() == 3) {
      const int freq = as_int(fields[1], scratch);
      weight = std::log(1.0 * freq / freq_sum_);
      tag = fields[2];
    } else if (fields.size() != 1) {
      return;  // the library keeps an empty entry, which its trie ignores
    }
    if (!decode_runes(fields[0], runes)) {
      log_error("cppjieba/DictTrie.hpp:193", "Decode " + std::string(fields[0]) + " failed.");
      return;
    }
    trie_.insert(runes.data(), runes.size(), weight, tag_id(std::string(tag)));
    if (runes.size() == 1) user_singles_.push_back(runes[0]);
  });
}

void Engine::set_emission(std::size_t state, std::uint32_t rune, double weight) {
  std::uint32_t index;
  if (rune < RuneTrie::kDirectRunes) {
    index = emission_index_[rune];
    if (index == 0) {
      index = static_cast<std::uint32_t>(emissions_.size());
      emissions_.push_back(Emission{{kMinDouble, kMinDouble, kMinDouble, kMinDouble}});
      emission_index_[rune] = index;
    }
  } else {
    const auto found = emission_astral_.find(rune);
    if (found != emission_astral_.end()) {
      index = found->second;
    } else {
      index = static_cast<std::uint32_t>(emissions_.size());
      emissions_.push_back(Emission{{kMinDouble, kMinDouble, kMinDouble, kMinDouble}});
      emission_astral_.emplace(rune, index);
    }
  }
  emissions_[index].weight[state] = weight;
}

void Engine::load_hmm(const std::string& content) {
  emission_index_.assign(RuneTrie::kDirectRunes, 0);
  emissions_.assign(1, Emission{{kMinDouble, kMinDouble, kMinDouble, kMinDouble}});
  std::vector<std::string_view> lines;
  for_each_line(content, [&](std::string_view raw) {
    const std::string_view line = trim(raw);
    if (lines.size() < 9 && !line.empty() && line.front() != '#') lines.push_back(line);
  });
  std::vector<std::string_view> fields, parts;
  std::vector<std::uint32_t> runes;
  std::string scratch;
  split(lines[0], ' ', fields);
  for (std::size_t j = 0; j < kHmmStates; ++j) start_[j] = as_double(fields[j], scratch);
  for (std::size_t i = 0; i < kHmmStates; ++i) {
    split(lines[1 + i], ' ', fields);
    for (std::size_t j = 0; j < kHmmStates; ++j) transition_[i][j] = as_double(fields[j], scratch);
  }
  for (std::size_t state = 0; state < kHmmStates; ++state) {
    split(lines[5 + state], ',', fields);
    for (const std::string_view pair : fields) {
      split(pair, ':', parts);
      decode_runes(parts[0], runes);
      set_emission(state, runes[0], as_double(parts[1], scratch));
    }
  }
}

// Viterbi's best starts at kMinDouble and only a strictly greater candidate (before + transition +
// emission) replaces it. Where no weight of the model is above zero, every Viterbi weight is zero
// or less (or NaN), so a transition of kMinDouble or less gives a candidate of kMinDouble or less
// (rounding is monotonic), or NaN: it never wins, and leaving it out changes no state and no path.
// With the library's model that leaves two of the four transitions into each state. A model with
// a weight above zero keeps every transition.
void Engine::plan_transitions() noexcept {
  bool none_positive = true;
  const auto check = [&none_positive](const double* weights) {
    for (std::size_t y = 0; y < kHmmStates; ++y) none_positive = none_positive && !(weights[y] > 0.0);
  };
  check(start_);
  for (const auto& row : transition_) check(row);
  for (const Emission& row : emissions_) check(row.weight);
  for (std::size_t y = 0; y < kHmmStates; ++y) {
    std::uint8_t count = 0;
    for (std::size_t previous = 0; previous < kHmmStates; ++previous) {
      if (!none_positive || !(transition_[previous][y] <= kMinDouble)) {
        from_states_[y][count++] = static_cast<std::uint8_t>(previous);
      }
    }
    from_count_[y] = count;
  }
  library_plan_ = true;
  static constexpr std::uint8_t kLibraryFrom[kHmmStates][2] = {{kE, kS}, {kB, kM}, {kB, kM}, {kE, kS}};
  for (std::size_t y = 0; y < kHmmStates; ++y) {
    library_plan_ = library_plan_ && from_count_[y] == 2 && from_states_[y][0] == kLibraryFrom[y][0] &&
                    from_states_[y][1] == kLibraryFrom[y][1];
  }
}

void Engine::load_idf(const std::string& content) {
  struct Entry {
    std::string_view word;
    double idf;
  };
  std::vector<Entry> entries;
  std::vector<std::string_view> fields;
  std::string scratch;
  double sum = 0.0;
  std::size_t line_number = 0;
  for_each_line(content, [&](std::string_view line) {
    const std::size_t number = line_number++;
    if (line.empty()) {
      log_error("cppjieba/KeywordExtractor.hpp:106", "lineno: " + std::to_string(number) + " empty. skipped.");
      return;
    }
    split(line, ' ', fields);
    if (fields.size() != 2) {
      log_error("cppjieba/KeywordExtractor.hpp:111",
                "line: " + std::string(line) + ", lineno: " + std::to_string(number) + " empty. skipped.");
      return;
    }
    const double idf = as_double(fields[1], scratch);
    entries.push_back(Entry{fields[0], idf});
    sum += idf;
  });
  idf_average_ = sum / static_cast<double>(line_number);
  // Sorted by word; of a word given twice, the last value stands, as in the library's map.
  std::stable_sort(entries.begin(), entries.end(), [](const Entry& lhs, const Entry& rhs) { return lhs.word < rhs.word; });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (kept > 0 && entries[kept - 1].word == entries[i].word) {
      entries[kept - 1] = entries[i];
    } else {
      entries[kept++] = entries[i];
    }
  }
  entries.resize(kept);
  std::size_t blob_size = 0;
  for (const Entry& entry : entries) blob_size += entry.word.size();
  if (blob_size > UINT32_MAX) throw std::length_error("IDF table is too large");
  idf_blob_storage_.reserve(blob_size);
  idf_offsets_storage_.reserve(entries.size() + 1);
  idf_values_storage_.reserve(entries.size());
  for (const Entry& entry : entries) {
    idf_offsets_storage_.push_back(static_cast<std::uint32_t>(idf_blob_storage_.size()));
    idf_blob_storage_.append(entry.word);
    idf_values_storage_.push_back(entry.idf);
  }
  idf_offsets_storage_.push_back(static_cast<std::uint32_t>(idf_blob_storage_.size()));
  idf_count_ = entries.size();
  idf_offsets_ = idf_offsets_storage_.data();
  idf_blob_ = idf_blob_storage_.data();
  idf_values_ = idf_values_storage_.data();
}

const double* Engine::find_idf(std::string_view word) const noexcept {
  std::size_t low = 0;
  std::size_t high = idf_count_;
  while (low < high) {
    const std::size_t middle = low + (high - low) / 2;
    const std::string_view probe(idf_blob_ + idf_offsets_[middle], idf_offsets_[middle + 1] - idf_offsets_[middle]);
    const int order = probe.compare(word);
    if (order == 0) return &idf_values_[middle];
    if (order < 0) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return nullptr;
}

void Engine::load_stop_words(const std::string& content) {
  for_each_line(content, [&](std::string_view line) { stop_words_.emplace(line); });
}

void Engine::index_user_singles() noexcept {
  user_single_bits_.fill(0);
  for (const std::uint32_t rune : user_singles_) {
    if (rune < RuneTrie::kDirectRunes) user_single_bits_[rune >> 6] |= std::uint64_t{1} << (rune & 63);
  }
}

// The best route through the range by the sum of log weights (ties to the shorter word, which
// comes first), walking the trie straight from each position.
void Engine::best_path(Scratch& scratch, std::size_t begin, std::size_t end) const {
  const std::uint32_t* runes = scratch.runes.data() + begin;
  const std::size_t size = end - begin;
  scratch.route_weight.reserve(size + 1);
  scratch.route_length.reserve(size);
  double* weight = scratch.route_weight.data();
  std::uint32_t* length = scratch.route_length.data();
  // The library sums (0.0 + the next position's weight, where there is one) + the word's weight.
  // 0.0 past the end spares the branch, and the leading 0.0 is left out: 0.0 + x differs from x
  // only in the sign of a zero or a NaN's payload, which neither the sums nor the comparisons
  // below tell apart, so every route is the same (callgrind, the novel: mixed cut 36.55M -> 36.20M
  // instructions, search 40.34M -> 39.99M).
  weight[size] = 0.0;
  const double min_weight = min_weight_;
  for (std::size_t i = size; i-- > 0;) {
    const TrieCell* cell = trie_.child(RuneTrie::kRoot, runes[i]);
    // The library starts each maximum at kMinDouble and keeps only a strictly greater value.
    double best = kMinDouble;
    std::uint32_t best_length = 1;
    double value = weight[i + 1];
    value += (cell != nullptr && cell->tag != RuneTrie::kNoWord) ? cell->weight : min_weight;
    if (value > best) best = value;
    if (cell != nullptr && (cell->node & RuneTrie::kHasChildren) != 0) {
      const std::size_t last = std::min(size, i + kMaxWordLength);
      std::uint32_t node = cell->node & RuneTrie::kIdMask;
      for (std::size_t j = i + 1; j < last; ++j) {
        cell = trie_.edge_child(node, runes[j]);
        if (cell == nullptr) break;
        if (cell->tag != RuneTrie::kNoWord) {
          value = weight[j + 1] + cell->weight;
          if (value > best) {
            best = value;
            best_length = static_cast<std::uint32_t>(j - i + 1);
          }
        }
        if ((cell->node & RuneTrie::kHasChildren) == 0) break;
        node = cell->node & RuneTrie::kIdMask;
      }
    }
    weight[i] = best;
    length[i] = best_length;
  }
}

void Engine::viterbi(Scratch& scratch, std::size_t begin, std::size_t end) const {
  const std::size_t size = end - begin;
  // The last rune's state is E or S, both of which end a word: a lone rune is a word whatever the
  // weights. Almost half the runs the HMM gets on the novel are one rune long.
  if (size == 1) {
    scratch.words.emplace_back(static_cast<std::uint32_t>(begin), 1u);
    return;
  }
  const std::uint32_t* runes = scratch.runes.data() + begin;
  scratch.state_path.reserve(size);
  scratch.states.reserve(size);
  // path[x]: for each state y at rune x, two bits from bit 2y: the state before it on its best path.
  std::uint8_t* path = scratch.state_path.data();
  const std::uint32_t* emission_index = emission_index_.data();
  const Emission* emissions = emissions_.data();
  const auto emission_of = [&](std::uint32_t rune) -> const Emission& {
    return rune < RuneTrie::kDirectRunes ? emissions[emission_index[rune]] : emission(rune);
  };
  double weight[kHmmStates];
  {
    const Emission& emit = emission_of(runes[0]);
    for (std::size_t y = 0; y < kHmmStates; ++y) weight[y] = start_[y] + emit.weight[y];
  }
  // Each candidate is (before + transition) + emission, in the library's order, and only a
  // strictly greater one than kMinDouble, then than the best so far, replaces it (kE if none).
  if (library_plan_) {
    // The library's model, its candidates spelt out: the four weights and eight transitions stay
    // in registers, where the general loop below reloads them at every step (its stores may alias
    // them). Callgrind, the novel's mixed cut: Viterbi 11.3M instructions before, 7.8M with it.
    const double eb = transition_[kE][kB], sb = transition_[kS][kB];
    const double be = transition_[kB][kE], me = transition_[kM][kE];
    const double bm = transition_[kB][kM], mm = transition_[kM][kM];
    const double es = transition_[kE][kS], ss = transition_[kS][kS];
#if defined(__SSE2__)
    // Two states a register, (B, E) and (M, S): each state's first candidate comes from E or B,
    // its second from S or M, so both are the weights in place or swapped, plus a transition
    // pair, plus the emission pair, added in the library's order lane by lane (the same doubles).
    // The choices become masks instead of branches that the data decides (the novel's mixed cut,
    // callgrind: Viterbi 7.05M -> 6.37M instructions, 79,700 -> 63,500 mispredicted branches in
    // its branch simulation).
    const __m128d first_be = _mm_set_pd(be, eb), second_be = _mm_set_pd(me, sb);
    const __m128d first_ms = _mm_set_pd(es, bm), second_ms = _mm_set_pd(ss, mm);
    const __m128d floor = _mm_set1_pd(kMinDouble);
    __m128d weight_be = _mm_set_pd(weight[kE], weight[kB]);
    __m128d weight_ms = _mm_set_pd(weight[kS], weight[kM]);
    // Only a strictly greater candidate replaces the best so far, as in best_of below: maxpd
    // gives its first operand where it is greater and its second otherwise, NaN included, and the
    // best so far is never NaN (kMinDouble at first).
    const auto better = [](__m128d candidate, __m128d best, __m128d& taken) {
      taken = _mm_cmpgt_pd(candidate, best);
      return _mm_max_pd(candidate, best);
    };
    for (std::size_t x = 1; x < size; ++x) {
      const Emission& emit = emission_of(runes[x]);
      const __m128d emit_be = _mm_loadu_pd(emit.weight);
      const __m128d emit_ms = _mm_loadu_pd(emit.weight + 2);
      __m128d taken_first_be, taken_first_ms, taken_second_be, taken_second_ms;
      const __m128d swapped_be = _mm_shuffle_pd(weight_be, weight_be, 1);  // (E, B)
      const __m128d swapped_ms = _mm_shuffle_pd(weight_ms, weight_ms, 1);  // (S, M)
      const __m128d best_be = better(_mm_add_pd(_mm_add_pd(swapped_be, first_be), emit_be), floor, taken_first_be);
      const __m128d best_ms = better(_mm_add_pd(_mm_add_pd(weight_be, first_ms), emit_ms), floor, taken_first_ms);
      weight_be = better(_mm_add_pd(_mm_add_pd(swapped_ms, second_be), emit_be), best_be, taken_second_be);
      weight_ms = better(_mm_add_pd(_mm_add_pd(weight_ms, second_ms), emit_ms), best_ms, taken_second_ms);
      const int taken = _mm_movemask_pd(taken_first_be) | _mm_movemask_pd(taken_first_ms) << 2 |
                        _mm_movemask_pd(taken_second_be) << 4 | _mm_movemask_pd(taken_second_ms) << 6;
      path[x] = kLibraryPathByte[static_cast<std::size_t>(taken)];
    }
    double last[2];
    _mm_storeu_pd(last, weight_be);
    weight[kB] = last[0];
    weight[kE] = last[1];
    _mm_storeu_pd(last, weight_ms);
    weight[kM] = last[0];
    weight[kS] = last[1];
#else
    double b = weight[kB], e = weight[kE], m = weight[kM], s = weight[kS];
    const auto best_of = [](double first, unsigned first_state, double second, unsigned second_state,
                            unsigned& from) {
      double best = kMinDouble;
      from = kE;
      if (first > best) {
        best = first;
        from = first_state;
      }
      if (second > best) {
        best = second;
        from = second_state;
      }
      return best;
    };
    for (std::size_t x = 1; x < size; ++x) {
      const Emission& emit = emission_of(runes[x]);
      unsigned from_b, from_e, from_m, from_s;
      const double next_b = best_of(e + eb + emit.weight[kB], kE, s + sb + emit.weight[kB], kS, from_b);
      const double next_e = best_of(b + be + emit.weight[kE], kB, m + me + emit.weight[kE], kM, from_e);
      const double next_m = best_of(b + bm + emit.weight[kM], kB, m + mm + emit.weight[kM], kM, from_m);
      const double next_s = best_of(e + es + emit.weight[kS], kE, s + ss + emit.weight[kS], kS, from_s);
      path[x] = static_cast<std::uint8_t>(from_b | from_e << 2 | from_m << 4 | from_s << 6);
      b = next_b;
      e = next_e;
      m = next_m;
      s = next_s;
    }
    weight[kB] = b;
    weight[kE] = e;
    weight[kM] = m;
    weight[kS] = s;
#endif
  } else {
    for (std::size_t x = 1; x < size; ++x) {
      const Emission& emit = emission_of(runes[x]);
      double next[kHmmStates];
      unsigned packed = 0;
      for (std::size_t y = 0; y < kHmmStates; ++y) {
        double best = kMinDouble;
        std::size_t best_from = kE;
        for (std::size_t k = 0; k < from_count_[y]; ++k) {
          const std::size_t previous = from_states_[y][k];
          const double value = weight[previous] + transition_[previous][y] + emit.weight[y];
          if (value > best) {
            best = value;
            best_from = previous;
          }
        }
        next[y] = best;
        packed |= static_cast<unsigned>(best_from) << (2 * y);
      }
      path[x] = static_cast<std::uint8_t>(packed);
      std::copy(next, next + kHmmStates, weight);
    }
  }
  std::size_t state = weight[kE] >= weight[kS] ? kE : kS;
  std::uint8_t* states = scratch.states.data();
  for (std::size_t x = size - 1; x > 0; --x) {
    states[x] = static_cast<std::uint8_t>(state);
    state = (path[x] >> (2 * state)) & 3u;
  }
  states[0] = static_cast<std::uint8_t>(state);
  // A word ends at each E or S.
  std::size_t left = 0;
  for (std::size_t x = 0; x < size; ++x) {
    if (states[x] % 2 == 1) {
      scratch.words.emplace_back(static_cast<std::uint32_t>(begin + left), static_cast<std::uint32_t>(x + 1 - left));
      left = x + 1;
    }
  }
}

// The library's HMM segment: ASCII runs by its letter and number rules, the rest by Viterbi.
void Engine::hmm_range(Scratch& scratch, std::size_t begin, std::size_t end) const {
  const std::uint32_t* runes = scratch.runes.data();
  std::size_t left = begin;
  std::size_t right = begin;
  while (right < end) {
    if (runes[right] < 0x80) {
      if (left != right) viterbi(scratch, left, right);
      left = right;
      right = left + 1;
      if (is_letter(runes[left])) {
        while (right < end && (is_letter(runes[right]) || is_digit(runes[right]))) ++right;
      } else if (is_digit(runes[left])) {
        while (right < end && (is_digit(runes[right]) || runes[right] == '.')) ++right;
      }
      scratch.words.emplace_back(static_cast<std::uint32_t>(left), static_cast<std::uint32_t>(right - left));
      left = right;
    } else {
      ++right;
    }
  }
  if (left != right) viterbi(scratch, left, right);
}

void Engine::mixed_range(Scratch& scratch, std::size_t begin, std::size_t end, bool hmm) const {
  best_path(scratch, begin, end);
  const std::uint32_t* length = scratch.route_length.data();
  const std::uint32_t* runes = scratch.runes.data() + begin;
  const std::size_t size = end - begin;
  // The default dictionaries name no single rune: asking only where some user dictionary does
  // spares a bit test a single-rune word (callgrind, the novel: mixed cut 38.52M -> 38.21M
  // instructions, search 42.31M -> 42.01M).
  const bool user_singles = !user_singles_.empty();
  const auto named = [&](std::uint32_t rune) { return user_singles && is_user_single(rune); };
  std::size_t i = 0;
  while (i < size) {
    // Read once: the word's store below may alias the route's lengths, and each use reloaded it
    // (callgrind, the novel: mixed cut 34.82M -> 34.53M instructions, search 38.46M -> 38.17M).
    const std::uint32_t here = length[i];
    if (!hmm || here > 1 || named(runes[i])) {
      scratch.words.emplace_back(static_cast<std::uint32_t>(begin + i), here);
      i += here;
      continue;
    }
    // A run of single runes that the user dictionaries do not name goes to the HMM. A run of one
    // is a word of one whatever the HMM's rules (ASCII or Viterbi), and is almost half the runs
    // on the novel: emitting it here spares two calls, 3% of a mixed cut's instructions.
    // A run without ASCII is Viterbi's whole, and the run's lowest rune says so without
    // hmm_range's second pass over it (callgrind, the novel: mixed cut 37.41M -> 36.55M
    // instructions, search 41.20M -> 40.34M).
    std::size_t j = i + 1;
    std::uint32_t lowest = runes[i];
    while (j < size && length[j] == 1 && !named(runes[j])) {
      lowest = std::min(lowest, runes[j]);
      ++j;
    }
    if (j == i + 1) {
      scratch.words.emplace_back(static_cast<std::uint32_t>(begin + i), 1u);
    } else if (lowest >= 0x80) {
      viterbi(scratch, begin + i, begin + j);
    } else {
      hmm_range(scratch, begin + i, begin + j);
    }
    i = j;
  }
}

void Engine::full_range(Scratch& scratch, std::size_t begin, std::size_t end) const {
  const std::uint32_t* runes = scratch.runes.data() + begin;
  const std::size_t size = end - begin;
  std::size_t max_index = 0;
  std::size_t word_length = 0;  // carried over from an earlier match, as the library does
  for (std::size_t i = 0; i < size; ++i) {
    auto& matches = scratch.matches;
    matches.clear();
    const TrieCell* cell = trie_.child(RuneTrie::kRoot, runes[i]);
    matches.emplace_back(static_cast<std::uint32_t>(i),
                         cell != nullptr && cell->tag != RuneTrie::kNoWord ? cell : nullptr);
    if (cell != nullptr && (cell->node & RuneTrie::kHasChildren) != 0) {
      const std::size_t last = std::min(size, i + kMaxWordLength);
      std::uint32_t node = cell->node & RuneTrie::kIdMask;
      for (std::size_t j = i + 1; j < last; ++j) {
        cell = trie_.edge_child(node, runes[j]);
        if (cell == nullptr) break;
        if (cell->tag != RuneTrie::kNoWord) matches.emplace_back(static_cast<std::uint32_t>(j), cell);
        if ((cell->node & RuneTrie::kHasChildren) == 0) break;
        node = cell->node & RuneTrie::kIdMask;
      }
    }
    const bool alone = matches.size() == 1;
    for (const auto& [last_rune, word] : matches) {
      if (word == nullptr) {
        if (alone && max_index <= i) scratch.words.emplace_back(static_cast<std::uint32_t>(begin + i), 1u);
      } else {
        word_length = last_rune - i + 1;
        if (word_length >= 2 || (alone && max_index <= i)) {
          scratch.words.emplace_back(static_cast<std::uint32_t>(begin + i), static_cast<std::uint32_t>(word_length));
        }
      }
      max_index = std::max(max_index, i + word_length);
    }
  }
}

// The mixed words of the range, each after the dictionary's two- and three-rune words inside it.
void Engine::search_range(Scratch& scratch, std::size_t begin, std::size_t end, bool hmm) const {
  std::size_t first = scratch.words.size();
  mixed_range(scratch, begin, end, hmm);
  // The words before the range's first of three runes or more have none inside them and stay
  // where mixed_range put them; only the rest are copied out and given again (search cut of the
  // novel: 44.7M -> 42.6M instructions, callgrind).
  const std::size_t total = scratch.words.size();
  while (first < total && scratch.words[first].length <= 2) ++first;
  if (first == total) return;
  const std::size_t count = total - first;
  scratch.mixed.reserve(count);
  std::memcpy(scratch.mixed.data(), scratch.words.data() + first, count * sizeof(RuneSpan));
  scratch.words.set_size(first);
  const std::uint32_t* runes = scratch.runes.data();
  for (std::size_t w = 0; w < count; ++w) {
    const RuneSpan word = scratch.mixed[w];
    if (word.length > 2) {
      // One walk from each start finds both its two- and its three-rune word; the three-rune
      // ones wait in has_three, since the library gives every two-rune word first.
      const std::uint32_t* word_runes = runes + word.start;
      const bool threes = word.length > 3;
      scratch.has_three.reserve(word.length);
      std::uint8_t* has_three = scratch.has_three.data();
      for (std::uint32_t i = 0; i + 1 < word.length; ++i) {
        has_three[i] = 0;
        const TrieCell* cell = trie_.child(RuneTrie::kRoot, word_runes[i]);
        if (cell == nullptr || (cell->node & RuneTrie::kHasChildren) == 0) continue;
        cell = trie_.edge_child(cell->node & RuneTrie::kIdMask, word_runes[i + 1]);
        if (cell == nullptr) continue;
        if (cell->tag != RuneTrie::kNoWord) scratch.words.emplace_back(word.start + i, 2u);
        if (!threes || i + 2 >= word.length || (cell->node & RuneTrie::kHasChildren) == 0) continue;
        cell = trie_.edge_child(cell->node & RuneTrie::kIdMask, word_runes[i + 2]);
        has_three[i] = cell != nullptr && cell->tag != RuneTrie::kNoWord;
      }
      if (threes) {
        for (std::uint32_t i = 0; i + 2 < word.length; ++i) {
          if (has_three[i] != 0) scratch.words.emplace_back(word.start + i, 3u);
        }
      }
    }
    scratch.words.emplace_back(word.start, word.length);
  }
}

void Engine::cut_range(Scratch& scratch, std::size_t begin, std::size_t end, CutMode mode, bool hmm) const {
  switch (mode) {
    case CutMode::Mixed:
      mixed_range(scratch, begin, end, hmm);
      break;
    case CutMode::Full:
      full_range(scratch, begin, end);
      break;
    case CutMode::Search:
      search_range(scratch, begin, end, hmm);
      break;
  }
}

bool Engine::cut_words(std::string_view sentence, CutMode mode, bool hmm, Scratch& scratch) const {
  // Buffers a huge sentence grew are given back at the next ordinary one.
  constexpr std::size_t kKeptRunes = std::size_t{1} << 22;
  if (scratch.runes.capacity() > kKeptRunes && sentence.size() < kKeptRunes) scratch = Scratch();
  scratch.words.clear();
  scratch.runes.clear();
  scratch.offsets.clear();
  const auto* bytes = reinterpret_cast<const unsigned char*>(sentence.data());
  const std::size_t byte_count = sentence.size();
  // Decoded straight into buffers sized for the worst case (a rune a byte): two push_backs a
  // rune cost about a fifth of a mixed cut's instructions.
  scratch.runes.reserve(byte_count);
  scratch.offsets.reserve(byte_count + 1);
  std::uint32_t* runes = scratch.runes.data();
  std::uint32_t* offsets = scratch.offsets.data();
  // Separators are words of their own, and end the ranges cut between them. Each range is cut
  // as soon as it is decoded, one pass over the runes instead of two; a sentence that fails to
  // decode later gives no words all the same.
  std::size_t size = 0;
  std::size_t start = 0;
  const auto end_range_at = [&](std::size_t separator) {
    if (start < separator) cut_range(scratch, start, separator, mode, hmm);
    scratch.words.emplace_back(static_cast<std::uint32_t>(separator), 1u);
    start = separator + 1;
  };
  // A three-byte rune may start below three_end.
  const std::size_t three_end = byte_count > 2 ? byte_count - 2 : 0;
  std::size_t i = 0;
  while (i < byte_count) {
    // Runs of three-byte runes (nearly every Chinese one; decode_rune's answer for them) in a
    // loop of their own, whose separator test first asks for the two full-width ones, the only
    // separators a well-formed three-byte rune can be: a mixed cut of the novel takes 39.0M
    // instructions instead of 41.4M (callgrind). Overlong forms may still decode below ' '.
    while (i < three_end && (bytes[i] & 0xf0u) == 0xe0u) {
      const std::uint32_t rune = ((bytes[i] & 0x0fu) << 12) | ((bytes[i + 1] & 0x3fu) << 6) | (bytes[i + 2] & 0x3fu);
      runes[size] = rune;
      offsets[size] = static_cast<std::uint32_t>(i);
      i += 3;
      if ((rune == 0x3002 || rune == 0xff0c || rune <= ' ') && is_separator(rune)) end_range_at(size);
      ++size;
    }
    if (i >= byte_count) break;
    std::uint32_t rune = bytes[i];
    std::uint32_t length = 1;
    if (rune >= 0x80) {
      length = decode_rune(bytes + i, byte_count - i, rune);
      if (length == 0) {
        log_error("cppjieba/PreFilter.hpp:21", "decode failed. ");
        scratch.words.clear();
        return false;
      }
    }
    runes[size] = rune;
    offsets[size] = static_cast<std::uint32_t>(i);
    i += length;
    if (is_separator(rune)) end_range_at(size);
    ++size;
  }
  offsets[size] = static_cast<std::uint32_t>(byte_count);
  scratch.runes.set_size(size);
  scratch.offsets.set_size(size + 1);
  if (start < size) cut_range(scratch, start, size, mode, hmm);
  return true;
}

// One set of buffers per thread, shared by every engine and every call on that thread.
Engine::Scratch& Engine::thread_scratch() {
  static thread_local Scratch scratch;
  return scratch;
}

void Engine::cut(std::string_view sentence, CutMode mode, bool hmm, WordSpans& words) const {
  Scratch& scratch = thread_scratch();
  // The caller's spans are written over in place rather than cleared first (assign reuses their
  // room), and made as they are written (WordSpanMaker). Any failure still leaves none.
  try {
    if (!cut_words(sentence, mode, hmm, scratch)) {
      words.clear();
      return;
    }
    const std::uint32_t* offsets = scratch.offsets.data();
    words.assign(WordSpanMaker(scratch.words.begin(), offsets), WordSpanMaker(scratch.words.end(), offsets));
  } catch (...) {
    words.clear();
    throw;
  }
}

void Engine::tag(std::string_view sentence, TaggedWords& tagged) const { tag(thread_scratch(), sentence, tagged); }

void Engine::tag(Scratch& scratch, std::string_view sentence, TaggedWords& tagged) const {
  tagged.words.clear();
  tagged.tags.clear();
  tagged.names.clear();
  if (!cut_words(sentence, CutMode::Mixed, true, scratch)) return;
  // Tag ids: the table's, then the library's three fallbacks. tag_slot maps an id to its place in
  // `names` for this call only: every slot it sets is unset again on the way out, even by an exception.
  static constexpr const char* kFallbacks[] = {"x", "m", "eng"};
  const std::size_t fallback = tags_.size();
  if (scratch.tag_slot.size() < fallback + 3) scratch.tag_slot.resize(fallback + 3, kNoSlot);
  struct SlotReset {
    Scratch& scratch;
    ~SlotReset() {
      for (const std::size_t id : scratch.tags_used) scratch.tag_slot[id] = kNoSlot;
      scratch.tags_used.clear();
    }
  } reset{scratch};
  tagged.words.reserve(scratch.words.size());
  tagged.tags.reserve(scratch.words.size());
  const std::uint32_t* offsets = scratch.offsets.data();
  const std::uint32_t* runes = scratch.runes.data();
  for (const auto& [start, length] : scratch.words) {
    tagged.words.push_back(WordSpan{offsets[start], offsets[start + length] - offsets[start], start, length});
    const TrieCell* cell = trie_.find(runes + start, length);
    std::size_t id = 0;
    // A tag id beyond the table (only a damaged compiled file has one) reads as no tag.
    if (cell != nullptr && cell->tag != RuneTrie::kNoWord && static_cast<std::uint32_t>(cell->tag) < tags_.size() &&
        !tags_[static_cast<std::size_t>(cell->tag)].empty()) {
      id = static_cast<std::size_t>(cell->tag);
    } else {
      // The library's fallback, which stops counting once half the runes are ASCII: "x" without
      // ASCII, "m" when all the ASCII counted are digits, "eng" otherwise.
      std::size_t ascii = 0;
      std::size_t digits = 0;
      for (std::size_t i = 0; i < length && ascii < length / 2; ++i) {
        if (runes[start + i] < 0x80) {
          ++ascii;
          if (is_digit(runes[start + i])) ++digits;
        }
      }
      id = fallback + (ascii == 0 ? 0 : digits == ascii ? 1 : 2);
    }
    std::uint32_t& slot = scratch.tag_slot[id];
    if (slot == kNoSlot) {
      scratch.tags_used.push_back(id);
      tagged.names.emplace_back(id < fallback ? tags_[id] : kFallbacks[id - fallback]);
      slot = static_cast<std::uint32_t>(tagged.names.size() - 1);
    }
    tagged.tags.push_back(slot);
  }
}

std::vector<std::pair<std::string, std::string>> Engine::tag(std::string_view sentence) const {
  TaggedWords tagged;
  tag(sentence, tagged);
  std::vector<std::pair<std::string, std::string>> pairs;
  pairs.reserve(tagged.words.size());
  for (std::size_t i = 0; i < tagged.words.size(); ++i) {
    const WordSpan& word = tagged.words[i];
    pairs.emplace_back(sentence.substr(word.offset, word.size), tagged.names[tagged.tags[i]]);
  }
  return pairs;
}

std::vector<std::pair<std::string, double>> Engine::extract_keywords(std::string_view sentence,
                                                                     std::size_t top_k) const {
  Scratch& scratch = thread_scratch();
  std::vector<std::pair<std::string, double>> keywords;
  if (!cut_words(sentence, CutMode::Mixed, true, scratch)) {
    if (!sentence.empty()) log_error("cppjieba/KeywordExtractor.hpp:74", "words illegal");
    return keywords;
  }
  // Counts by word in byte order (the library's std::map), single runes and stop words left out.
  std::map<std::string, double> counts;
  const std::uint32_t* offsets = scratch.offsets.data();
  for (const auto& [start, length] : scratch.words) {
    if (length == 1) continue;
    std::string word(sentence.substr(offsets[start], offsets[start + length] - offsets[start]));
    if (stop_words_.count(word) != 0) continue;
    counts[std::move(word)] += 1.0;
  }
  struct Keyword {
    std::string word;
    double weight;
  };
  std::vector<Keyword> ranked;
  ranked.reserve(counts.size());
  for (auto& [word, count] : counts) {
    const double* idf = find_idf(word);
    ranked.push_back(Keyword{word, count * (idf != nullptr ? *idf : idf_average_)});
  }
  // The library's partial_sort over the same order and comparison gives the same order of ties.
  const std::size_t count = std::min(top_k, ranked.size());
  std::partial_sort(ranked.begin(), ranked.begin() + static_cast<std::ptrdiff_t>(count), ranked.end(),
                    [](const Keyword& lhs, const Keyword& rhs) { return lhs.weight > rhs.weight; });
  keywords.reserve(count);
  for (std::size_t i = 0; i < count; ++i) keywords.emplace_back(std::move(ranked[i].word), ranked[i].weight);
  return keywords;
}

bool Engine::insert_user_word(std::string_view word, std::optional<int> freq, const std::string& tag) {
  std::vector<std::uint32_t> runes;
  if (!decode_runes(word, runes)) {
    log_error("cppjieba/DictTrie.hpp:193", "Decode " + std::string(word) + " failed.");
    return false;
  }
  const double weight = freq && *freq != 0 ? std::log(1.0 * *freq / freq_sum_) : user_word_default_weight_;
  trie_.insert(runes.data(), runes.size(), weight, tag_id(tag));
  return true;
}

}  // namespace lumo::segmenter
