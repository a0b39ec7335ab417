// BM25 persistence: the model document written by dump and read by load.
#include <algorithm>
#include <cmath>
#include <cstdio>
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
  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "w"), &std::fclose);
  if (!file) throw std::runtime_error("Failed to dump: Unable to open file");
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
    const std::string token = unescape_key(held_key);
    const std::size_t found = table_.find(token);
    if (found != TokenTable::npos && found < first_new_ && !saved_[found]) {
      overwritten_.emplace_back(found, table_.count_at(found));
      saved_[found] = true;
    }
    const std::size_t index = table_.assign(token, count);
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

}  // namespace lumo::typing::text
