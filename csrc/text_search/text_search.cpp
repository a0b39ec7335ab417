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
               const std::vector<std::string_view>& texts, const WordFilter& filter, unsigned threads,
               std::vector<std::size_t>* skipped) {
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
  // The texts that go in, by their place among the texts: all before the failure but those
  // skipped for having no words.
  std::vector<std::size_t> places;
  std::size_t kept = 0;
  for (std::size_t at = 0; at < std::min(failed_at, docs.size()); ++at) {
    if (typing::text::document_length(docs[at]) == 0) {
      if (skipped == nullptr) {
        failed_at = at;
        reason = "no words left after the filters";
        break;
      }
      skipped->push_back(at);
      continue;
    }
    if (kept != at) docs[kept] = std::move(docs[at]);
    places.push_back(at);
    ++kept;
  }
  docs.resize(kept);
  // The model refuses a whole batch for one document; the documents before it go in alone.
  while (!docs.empty()) {
    try {
      index.add(docs);
      break;
    } catch (const DocumentError& error) {
      failed_at = places[error.index()];
      reason = reason_of(error);
      docs.resize(error.index());
    }
  }
  if (failed_at < texts.size()) {
    if (skipped != nullptr) {
      while (!skipped->empty() && skipped->back() > failed_at) skipped->pop_back();
    }
    throw TextError(failed_at, reason);
  }
}

typing::text::SearchResults search_texts(const typing::text::BM25Index& index, const segmenter::Segmenter& segmenter,
                                         const std::vector<std::string_view>& queries, const WordFilter& filter,
                                         std::uint64_t k, unsigned threads, const std::vector<std::int64_t>* allow) {
  std::vector<Document> docs;
  text_words(segmenter, queries, filter, threads, docs);
  return index.retrieve(docs, k, threads, allow);
}

}  // namespace lumo::text_search
