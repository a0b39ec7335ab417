// Indexes a file of documents, then answers a file of queries one per retrieve call (k = 10 unless
// given, one thread), as the benchmark's "one query per call" rows do. Each line of a file is one document or
// query, its tokens separated by the byte 0x1f. Prints a checksum of the results (to compare two
// builds) and the time per query (wall and processor).
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "bm25_index.h"

namespace {

using lumo::typing::text::BM25Index;
using lumo::typing::text::Document;
using lumo::typing::text::SearchResults;
using lumo::typing::text::TokenViews;

std::vector<std::vector<std::string>> read_lines(const char* path) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path);
    std::exit(1);
  }
  std::vector<std::vector<std::string>> lines;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> tokens(1);
    for (const char byte : line) {
      if (byte == '\x1f') {
        tokens.emplace_back();
      } else {
        tokens.back() += byte;
      }
    }
    lines.push_back(std::move(tokens));
  }
  return lines;
}

std::vector<Document> as_documents(const std::vector<std::vector<std::string>>& lines) {
  std::vector<Document> docs;
  docs.reserve(lines.size());
  for (const auto& tokens : lines) docs.emplace_back(TokenViews(tokens.begin(), tokens.end()));
  return docs;
}

// Out of line, so that callgrind's --toggle-collect can count it alone.
__attribute__((noinline)) double run_queries(const BM25Index& index, const std::vector<Document>& queries, int rounds,
                                              std::uint64_t k) {
  double checksum = 0.0;
  for (int round = 0; round < rounds; ++round) {
    for (const Document& query : queries) {
      const SearchResults results = index.retrieve({query}, k, 1, nullptr);
      for (std::size_t at = 0; at < results.ids.size(); ++at) {
        checksum += static_cast<double>(results.ids[at]) + results.scores[at] * 1e-3;
      }
    }
  }
  return checksum;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s DOCS QUERIES [ROUNDS [K]]\n", argv[0]);
    return 2;
  }
  const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 1;
  const std::uint64_t k = argc > 4 ? std::max<std::uint64_t>(1, std::strtoull(argv[4], nullptr, 10)) : 10;
  BM25Index index(0.75, 1.2);
  {
    const auto lines = read_lines(argv[1]);
    const std::vector<Document> docs = as_documents(lines);
    constexpr std::size_t kBatch = 100000;  // as the benchmark adds a large corpus: in parts
    for (std::size_t at = 0; at < docs.size(); at += kBatch) {
      index.add(std::vector<Document>(docs.begin() + at, docs.begin() + std::min(docs.size(), at + kBatch)));
    }
  }
  const auto query_lines = read_lines(argv[2]);
  const std::vector<Document> queries = as_documents(query_lines);
  const double first = run_queries(index, queries, 1, k);
  const auto start = std::chrono::steady_clock::now();
  const std::clock_t cpu_start = std::clock();
  const double again = run_queries(index, queries, rounds, k);
  const std::chrono::duration<double, std::micro> spent = std::chrono::steady_clock::now() - start;
  // The processor time too: on a machine others share, the wall time counts their turns.
  const double cpu = static_cast<double>(std::clock() - cpu_start) * 1e6 / CLOCKS_PER_SEC;
  const double count = static_cast<double>(rounds) * static_cast<double>(queries.size());
  std::printf("checksum %.17g %.17g, %.1f us per query, %.1f us of processor time\n", first, again / rounds,
              spent.count() / count, cpu / count);
  return 0;
}
