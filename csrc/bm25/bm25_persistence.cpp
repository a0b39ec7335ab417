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
    const char c = held[i];
    if (c != '\\' || i + 1 == held.size()) {
      token += c;
      continue;
    }
    char decoded;
    switch (held[i + 1]) {
      case 'b': decoded = '\b'; break;
      case 't': decoded = '\t'; break;
      case 'n': decoded = '\n'; break;
      case 'f': decoded = '\f'; break;
      case 'r': decoded = '\r'; break;
      case '"': decoded = '"'; break;
      case '\\': decoded = '\\'; break;
      default: token += c; continue;
    }
    token += decoded;
    ++i;
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

void BM25::load(const std::string& json_text) {
  if (json_text.empty()) throw std::runtime_error("json data should not be empty");
  // A number-conversion error leaves here, before any field is written.
  JsonValue root = json::parse(json_text);

  // Fields are set one after the other; a failure leaves the earlier ones set.
  JsonValue& table = root["_doc_token_frequency"];
  if (table.kind() == JsonKind::Object) {
    // One growth for the whole document rather than a doubling series, which would peak higher.
    doc_token_frequency_.reserve_more(table.entries().size());
    for (const auto& [key, value] : table.entries()) {
      const auto [count, ok] = value.as_integral();
      doc_token_frequency_.assign(unescape_key(key), count);
      if (!ok) throw std::runtime_error("load doc_token_frequency failed");
    }
  }
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
