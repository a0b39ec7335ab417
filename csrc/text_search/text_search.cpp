// add_texts and search_texts over text_words and the index's own add and retrieve.
#include "text_search.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace lumo::text_search {

using typing::text::Document;
using typing::text::DocumentError;

namespace {

// The model's reason without DocumentError's "document <index>: ".
std::string reason_of(const DocumentError& error) {
  const char* message = error.what();
  const char* colon = std::strstr(message, ": ");
  return colon != nullptr ? std::string(colon + 2) : std::string(message);
}

}  // namespace

void add_texts(typing::text::BM25Index& index, const segmenter::Segmenter& segmenter,
               const std::vector<std::string_view>& texts, const WordFilter& filter, unsigned threads) {
  std::size_t failed_at = texts.size();
  std::string reason;
  std::vector<Document> docs;
  try {
    text_words(segmenter, texts, filter, threads, docs);
  } catch (const TextError& error) {
    // Every text was cut; those before the first failure are whole.
    failed_at = error.index();
    reason = error.what();
  }
  if (failed_at == texts.size()) {
    for (std::size_t at = 0; at < docs.size(); ++at) {
      if (typing::text::document_length(docs[at]) == 0) {
        failed_at = at;
        reason = "no words left after the filters";
        break;
      }
    }
  }
  docs.resize(std::min(failed_at, docs.size()));
  // The model refuses a whole batch for one document; the documents before it go in alone.
  while (!docs.empty()) {
    try {
      index.add(docs);
      break;
    } catch (const DocumentError& error) {
      failed_at = error.index();
      reason = reason_of(error);
      docs.resize(failed_at);
    }
  }
  if (failed_at < texts.size()) throw TextError(failed_at, reason);
}

typing::text::SearchResults search_texts(const typing::text::BM25Index& index, const segmenter::Segmenter& segmenter,
                                         const std::vector<std::string_view>& queries, const WordFilter& filter,
                                         std::uint64_t k, unsigned threads, const std::vector<std::int64_t>* allow) {
  std::vector<Document> docs;
  text_words(segmenter, queries, filter, threads, docs);
  return index.retrieve(docs, k, threads, allow);
}

}  // namespace lumo::text_search
