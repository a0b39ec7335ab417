// BM25 persistence: the model document written by dump and read by load.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

#include "bm25.h"
#include <iostream>

#include "json_parser.h"
#include "json_value.h"

namespace lumo::typing::text {

using json::JsonKind;
using json::JsonValue;

std::string BM25::dump_text() const {
  JsonValue root = JsonValue::make(JsonKind::Object);
  root["_doc_token_frequency"] = JsonValue::make(JsonKind::Object);

  // Keys are escaped so that tokens holding quotes, backslashes or control bytes come back
  // exactly; other tokens are written as they are.
  std::vector<std::pair<std::string, std::int32_t>> members;
  members.reserve(doc_token_frequency_.size());
  for (std::size_t index = 0; index < doc_token_frequency_.size(); ++index) {
    members.emplace_back(JsonValue::escape_text(doc_token_frequency_.token_at(index)),
                         doc_token_frequency_.count_at(index));
  }
  std::sort(members.begin(), members.end(),
            [](const auto& left, const auto& right) { return left.first < right.first; });
  JsonValue::ObjectMap& table = root["_doc_token_frequency"].object_entries();
  for (auto& [key, count] : members) {
    table.emplace_hint(table.end(), std::move(key), JsonValue(count));
  }

  root["_doc_count"] = doc_count_;
  root["_doc_length_average"] = doc_length_average_;
  root["_b"] = b_;
  root["_k1"] = k1_;
  return root.serialize(1, "  ");
}

void BM25::dump(const std::string& path) const {
  // The whole text exists before the file is touched: a failure while building it leaves an
  // existing file as it was.
  const std::string text = dump_text();
  // A path with a NUL byte would silently name a shorter path.
  if (path.find('\0') != std::string::npos) {
    throw std::runtime_error("Failed to dump: Unable to open file");
  }
  // Opened without blocking: a FIFO that no process reads would otherwise block open() forever;
  // writes then block as usual.
  const int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
  if (descriptor < 0) throw std::runtime_error("Failed to dump: Unable to open file");
  const int flags = ::fcntl(descriptor, F_GETFL);
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
      flags == -1 || ::fcntl(descriptor, F_SETFL, flags & ~O_NONBLOCK) == -1 ? nullptr : ::fdopen(descriptor, "w"),
      &std::fclose);
  if (!file) {
    ::close(descriptor);
    throw std::runtime_error("Failed to dump: Unable to open file");
  }
  const bool written = std::fwrite(text.data(), 1, text.size(), file.get()) == text.size() &&
                       std::fflush(file.get()) == 0;
  const bool closed = std::fclose(file.release()) == 0;
  if (!written) throw std::runtime_error("Failed to dump: Unable to write file");
  if (!closed) throw std::runtime_error("Failed to dump: Unable to close file");
}

std::string unescape_key(std::string_view held) {
  std::string token;
  token.reserve(held.size());
  for (std::size_t i = 0; i < held.size(); ++i) {
    const char byte = i + 1 < held.size() && held[i] == '\\' ? json::escaped_byte(held[i + 1]) : 0;
    if (byte == 0) {
      token += held[i];
    } else {
      token += byte;
      ++i;
    }
  }
  return token;
}

namespace {

// The document keeps the average, not the total: the nearest integer to average x count is the
// best it allows, so that training after a load averages over the whole corpus. Clamped to what
// a total can be (0 for a negative product or one that is not a number).
std::int64_t restored_length_total(double average, std::int32_t doc_count) {
  const double total = std::round(average * static_cast<double>(doc_count));
  if (!(total > 0.0)) return 0;
  if (total >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
  return static_cast<std::int64_t>(total);
}

}  // namespace

namespace {

// The token table's side of one load. Entries are applied as the reader hands them over, so that
// a large table is never held twice (as parsed values and as the table); what the document's
// rules would not have applied is taken back afterwards. Those rules: entries are taken in
// ascending key order, each later duplicate replacing the earlier, up to and including the
// first whose value is not an integer (which sets 0); any exception, and a later occurrence of
// the table's member, undoes the whole table.
class TableLoad {
 public:
  explicit TableLoad(TokenTable& table) : table_(table), first_new_(table.size()), saved_(first_new_, false) {}
  TableLoad(const TableLoad&) = delete;
  TableLoad& operator=(const TableLoad&) = delete;
  ~TableLoad() {
    if (!finished_) undo();
  }

  void restart() { undo(); }

  void assign(const std::string& held_key, const JsonValue& value) {
    const auto [count, ok] = value.as_integral();
    std::string token = unescape_key(held_key);
    const std::size_t hash = TokenHash{}(token);
    std::size_t index = table_.find(token, hash);
    if (index == TokenTable::npos) {
      table_.reserve_more(1);
      table_.insert_reserved(std::move(token), hash, count);
      index = table_.size() - 1;
    } else {
      if (index < first_new_ && !saved_[index]) {
        overwritten_.emplace_back(index, table_.count_at(index));
        saved_[index] = true;
      }
      table_.count_at(index) = count;
    }
    if (index >= not_integral_.size()) not_integral_.resize(index + 1, false);
    not_integral_[index] = !ok;
  }

  // Takes back what follows the first entry whose value is not an integer; false when there was
  // one.
  bool finish() {
    std::string first_bad;
    bool any_bad = false;
    for (std::size_t index = 0; index < not_integral_.size(); ++index) {
      if (!not_integral_[index]) continue;
      std::string held = JsonValue::escape_text(table_.token_at(index));
      if (!any_bad || held < first_bad) first_bad = std::move(held);
      any_bad = true;
    }
    if (any_bad) {
      const auto after_first_bad = [&](std::size_t index) {
        return JsonValue::escape_text(table_.token_at(index)) > first_bad;
      };
      for (const auto& [index, count] : overwritten_) {
        if (after_first_bad(index)) table_.count_at(index) = count;
      }
      table_.erase_from(first_new_, [&](std::size_t index) { return !after_first_bad(index); });
    }
    finished_ = true;
    return !any_bad;
  }

 private:
  void undo() {
    for (const auto& [index, count] : overwritten_) {
      table_.count_at(index) = count;
      saved_[index] = false;
    }
    if (table_.size() > first_new_) table_.erase_from(first_new_, [](std::size_t) { return false; });
    overwritten_.clear();
    not_integral_.clear();
  }

  TokenTable& table_;
  const std::size_t first_new_;                                    // entries from here on are new
  std::vector<std::pair<std::size_t, std::int32_t>> overwritten_;  // earlier entries' counts
  std::vector<bool> saved_;                                        // per earlier entry: in overwritten_
  std::vector<bool> not_integral_;                                 // per entry, its last value
  bool finished_ = false;
};

}  // namespace

void BM25::load(const std::string& json_text) {
  if (json_text.empty()) throw std::runtime_error("json data should not be empty");
  TableLoad table(doc_token_frequency_);
  const json::DocumentShape shape{{"_doc_count", "_doc_length_average", "_b", "_k1"},
                                  "_doc_token_frequency",
                                  [&table] { table.restart(); },
                                  [&table](const std::string& key, const JsonValue& value) { table.assign(key, value); }};
  // A number-conversion error leaves here, the table undone, before any other field is written.
  JsonValue root = json::parse_shaped(json_text, shape, std::cerr);

  // Fields are set one after the other; a failure leaves the earlier ones set.
  if (!table.finish()) throw std::runtime_error("load doc_token_frequency failed");
  const auto [doc_count, count_ok] = root["_doc_count"].as_integral();
  doc_count_ = doc_count;
  if (!count_ok) throw std::runtime_error("load doc_count failed");
  const auto [average, average_ok] = root["_doc_length_average"].as_floating();
  doc_length_average_ = average;
  if (!average_ok) throw std::runtime_error("load doc_length_average failed");
  const auto [b, b_ok] = root["_b"].as_floating();
  b_ = b;
  if (!b_ok) throw std::runtime_error("load b failed");
  const auto [k1, k1_ok] = root["_k1"].as_floating();
  k1_ = k1;
  if (!k1_ok) throw std::runtime_error("load k1 failed");
  doc_length_total_ = restored_length_total(doc_length_average_, doc_count_);
}

namespace {

// The state's layout: a tag and format number, then b, k1 and the average as their exact bits,
// doc_count, doc_length_total, the number of tokens, every count, every length, and the tokens'
// bytes one after the other, in byte order. Little-endian, as every machine we build for.
constexpr char kStateTag[4] = {'D', 'Z', 'B', '1'};
constexpr std::size_t kStateHeader = sizeof kStateTag + 3 * sizeof(double) + sizeof(std::int32_t) +
                                     sizeof(std::int64_t) + sizeof(std::uint64_t);

template <class Value>
char* put(char* out, Value value) {
  std::memcpy(out, &value, sizeof value);
  return out + sizeof value;
}

template <class Value>
Value take(std::string_view& in) {
  Value value;
  std::memcpy(&value, in.data(), sizeof value);
  in.remove_prefix(sizeof value);
  return value;
}

std::vector<std::size_t> entries_in_token_order(const TokenTable& table) {
  std::vector<std::size_t> order(table.size());
  for (std::size_t index = 0; index < order.size(); ++index) order[index] = index;
  std::sort(order.begin(), order.end(),
            [&table](std::size_t a, std::size_t b) { return token_less(table.token_at(a), table.token_at(b)); });
  return order;
}

}  // namespace

std::size_t BM25::state_size() const {
  std::size_t size = kStateHeader + doc_token_frequency_.size() * (sizeof(std::int32_t) + sizeof(std::uint32_t));
  for (std::size_t index = 0; index < doc_token_frequency_.size(); ++index) {
    size += doc_token_frequency_.token_at(index).size();
  }
  return size;
}

void BM25::write_state(char* out) const {
  const TokenTable& table = doc_token_frequency_;
  const std::vector<std::size_t> order = entries_in_token_order(table);
  std::memcpy(out, kStateTag, sizeof kStateTag);
  out += sizeof kStateTag;
  out = put(out, b_);
  out = put(out, k1_);
  out = put(out, doc_length_average_);
  out = put(out, doc_count_);
  out = put(out, doc_length_total_);
  out = put(out, static_cast<std::uint64_t>(table.size()));
  for (const std::size_t index : order) out = put(out, table.count_at(index));
  for (const std::size_t index : order) out = put(out, static_cast<std::uint32_t>(table.token_at(index).size()));
  for (const std::size_t index : order) {
    const std::string& token = table.token_at(index);
    std::memcpy(out, token.data(), token.size());
    out += token.size();
  }
}

BM25 BM25::from_state(std::string_view state) {
  const auto invalid = [] { return std::invalid_argument("not a BM25 state"); };
  if (state.size() < kStateHeader || std::memcmp(state.data(), kStateTag, sizeof kStateTag) != 0) throw invalid();
  state.remove_prefix(sizeof kStateTag);
  const auto b = take<double>(state);
  const auto k1 = take<double>(state);
  BM25 model(b, k1);
  model.doc_length_average_ = take<double>(state);
  model.doc_count_ = take<std::int32_t>(state);
  model.doc_length_total_ = take<std::int64_t>(state);
  const auto count = take<std::uint64_t>(state);
  if (model.doc_length_total_ < 0 || count > state.size() / (sizeof(std::int32_t) + sizeof(std::uint32_t))) {
    throw invalid();
  }
  std::string_view counts = state.substr(0, count * sizeof(std::int32_t));
  std::string_view lengths = state.substr(counts.size(), count * sizeof(std::uint32_t));
  std::string_view bytes = state.substr(counts.size() + lengths.size());
  model.doc_token_frequency_.reserve_more(count);
  std::string_view previous;
  for (std::uint64_t entry = 0; entry < count; ++entry) {
    const auto length = take<std::uint32_t>(lengths);
    if (length > bytes.size()) throw invalid();
    const std::string_view token = bytes.substr(0, length);
    bytes.remove_prefix(length);
    // Tokens come in strictly ascending order: no token twice.
    if (entry > 0 && !token_less(previous, token)) throw invalid();
    previous = token;
    model.doc_token_frequency_.insert_reserved(std::string(token), TokenHash{}(token), take<std::int32_t>(counts));
  }
  if (!bytes.empty()) throw invalid();
  return model;
}

}  // namespace lumo::typing::text
