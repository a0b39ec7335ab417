// Who uses each BM25Index without the interpreter lock, for every registration that releases it on
// an index: a call that would change an index while another thread works on it raises instead of
// racing it. Everything here is touched with the interpreter lock held.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bm25_index.h"

namespace lumo::binding {

using typing::text::BM25Index;

// Who uses each index without the interpreter lock. Only touched with the lock held.
struct Users {
  std::size_t readers = 0;
  bool writer = false;
  bool forked_mid_change = false;  // in a child forked while another thread changed the index
};
inline std::unordered_map<const BM25Index*, Users>& users() {
  static std::unordered_map<const BM25Index*, Users> in_use;
  return in_use;
}

// A child of fork has none of the parent's other threads. The index it copied is whole unless a

inline constexpr const char* kForkedMidChange =
    "this process was forked while another thread changed the BM25Index; its copy is incomplete";

inline void check_readable(const BM25Index& index) {
  const auto found = users().find(&index);
  if (found == users().end()) return;
  if (found->second.forked_mid_change) throw std::runtime_error(kForkedMidChange);
  if (found->second.writer) throw std::runtime_error("BM25Index cannot be read while another thread changes it");
}

inline void check_changeable(const BM25Index& index) {
  const auto found = users().find(&index);
  if (found == users().end()) return;
  if (found->second.forked_mid_change) throw std::runtime_error(kForkedMidChange);
  throw std::runtime_error("BM25Index cannot change while another thread uses it");
}

class UseWithoutLock {
 public:
  UseWithoutLock(const BM25Index& index, bool write) : index_(&index), write_(write) {
    if (write) {
      check_changeable(index);
      users()[index_].writer = true;
    } else {
      check_readable(index);
      ++users()[index_].readers;
    }
  }
  UseWithoutLock(const UseWithoutLock&) = delete;
  UseWithoutLock& operator=(const UseWithoutLock&) = delete;
  ~UseWithoutLock() {
    auto found = users().find(index_);
    if (found == users().end()) return;  // forgotten in a forked child
    if (write_) {
      found->second.writer = false;
    } else if (found->second.readers > 0) {
      --found->second.readers;
    }
    if (!found->second.writer && found->second.readers == 0) users().erase(found);
  }

 private:
  const BM25Index* index_;
  bool write_;
};
// An int64 or float64 matrix that owns `values`, rows x columns.
template <class Value>
pybind11::array_t<Value> to_matrix(std::vector<Value>&& values, std::size_t rows, std::size_t columns) {
  auto owned = std::make_unique<std::vector<Value>>(std::move(values));
  pybind11::capsule owner(owned.get(), [](void* vector) { delete static_cast<std::vector<Value>*>(vector); });
  std::vector<Value>* kept = owned.release();
  return pybind11::array_t<Value>({static_cast<pybind11::ssize_t>(rows), static_cast<pybind11::ssize_t>(columns)},
                            {static_cast<pybind11::ssize_t>(columns * sizeof(Value)), static_cast<pybind11::ssize_t>(sizeof(Value))},
                            kept->data(), owner);
}


// The ids of `allow` that name a document of the index, in order; the rest are skipped without
// being kept, and a range is first cut to the index's ids.
std::vector<std::int64_t> allowed_ids(const BM25Index& index, pybind11::handle allow);
// `threads` of retrieve and search: 0 or more, a count beyond any machine meaning every processor.
unsigned thread_count(pybind11::handle threads);
// `k` of retrieve and search: 1 or more, a count beyond 64 bits meaning every document.
std::uint64_t top_k(pybind11::handle k);

}  // namespace lumo::binding
