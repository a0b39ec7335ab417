// BM25Index's file: one versioned little-endian layout, read whole or mapped.
//
// Layout: a 64-byte header (magic "DZDVIDX1", u32 version, u32 zero, then u64 id count, term
// count, posting count, large-frequency count, model state size, token bytes), then sections,
// each starting at a multiple of 8: the model's state; u32 length per id (0: deleted); u32 size
// per token and the tokens' bytes, in byte order; u64 offset per token and one past the last;
// u32 document id per posting; u8 term frequency per posting (255: in the next section); per
// large frequency u32 token, u32 document id, u32 frequency, ascending.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string>
#include <system_error>
#include <utility>

#include "bm25_index.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the index file is little-endian, as this machine must be");

namespace lumo::typing::text {

struct MappedFile {
  MappedFile(void* address, std::size_t size) noexcept : address_(address), size_(size) {}
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile() { munmap(address_, size_); }
  std::string_view bytes() const noexcept { return {static_cast<const char*>(address_), size_}; }

 private:
  void* address_;
  std::size_t size_;
};

namespace {

constexpr char kMagic[8] = {'D', 'Z', 'D', 'V', 'I', 'D', 'X', '1'};
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderSize = 64;

std::invalid_argument damaged(const std::string& what) { return std::invalid_argument("index file: " + what); }

std::uint64_t padded(std::uint64_t size) { return (size + 7) / 8 * 8; }

// Where the file's bytes go: a string for serialize, a buffered file for save, so that saving
// never holds the whole file in memory.
class StringSink {
 public:
  explicit StringSink(std::string& out) noexcept : out_(out) {}
  void append(const char* data, std::size_t size) { out_.append(data, size); }
  std::uint64_t size() const noexcept { return out_.size(); }

 private:
  std::string& out_;
};

class FileSink {
 public:
  FileSink(int fd, std::string name) : fd_(fd), name_(std::move(name)) { buffer_.reserve(kBuffer); }
  void append(const char* data, std::size_t size) {
    if (buffer_.size() + size > kBuffer) flush();
    if (size >= kBuffer) {
      write_all(data, size);
    } else {
      buffer_.append(data, size);
    }
  }
  std::uint64_t size() const noexcept { return written_ + buffer_.size(); }
  void flush() {
    write_all(buffer_.data(), buffer_.size());
    buffer_.clear();
  }

 private:
  static constexpr std::size_t kBuffer = std::size_t{1} << 20;
  void write_all(const char* data, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
      const ssize_t step = write(fd_, data + done, size - done);
      if (step < 0 && errno == EINTR) continue;
      if (step <= 0) throw std::system_error(step < 0 ? errno : EIO, std::generic_category(), "cannot write " + name_);
      done += static_cast<std::size_t>(step);
    }
    written_ += size;
  }
  int fd_;
  std::string name_;
  std::string buffer_;
  std::uint64_t written_ = 0;
};

template <class Sink, class Value>
void put(Sink& out, Value value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}
template <class Sink>
void pad(Sink& out) {
  static constexpr char kZeros[8] = {};
  out.append(kZeros, static_cast<std::size_t>(padded(out.size()) - out.size()));
}

template <class Value>
Value read_at(std::string_view bytes, std::size_t offset) {
  Value value;
  std::memcpy(&value, bytes.data() + offset, sizeof value);
  return value;
}

// Closes a descriptor however the call ends.
class Descriptor {
 public:
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

}  // namespace

std::string BM25Index::serialize() const {
  std::string bytes;
  bytes.reserve(file_size_bound());
  StringSink sink(bytes);
  write_file(sink);
  return bytes;
}

std::size_t BM25Index::file_size_bound() const noexcept {
  std::uint64_t token_bytes = 0;
  for (std::size_t term = 0; term < terms_.size(); ++term) token_bytes += terms_.token_at(term).size();
  return kHeaderSize + model_.state_size() + 8 * lengths_.size() + token_bytes + 20 * terms_.size() +
         5 * posting_count() + 12 * overflow_.size() + 64;
}

template <class Sink>
void BM25Index::write_file(Sink& out) const {
  // Tokens in byte order, so that the bytes depend on the documents alone.
  std::vector<std::size_t> order(terms_.size());
  for (std::size_t term = 0; term < order.size(); ++term) order[term] = term;
  std::sort(order.begin(), order.end(),
            [this](std::size_t a, std::size_t b) { return token_less(terms_.token_at(a), terms_.token_at(b)); });
  std::vector<std::size_t> rank(order.size());
  for (std::size_t at = 0; at < order.size(); ++at) rank[order[at]] = at;
  std::uint64_t token_bytes = 0;
  for (std::size_t term = 0; term < terms_.size(); ++term) token_bytes += terms_.token_at(term).size();
  const std::uint64_t posting_total = posting_count();
  std::vector<std::array<std::uint32_t, 3>> overflow;
  overflow.reserve(overflow_.size());
  for (const auto& [key, tf] : overflow_) {
    overflow.push_back({static_cast<std::uint32_t>(rank[key >> 32]), static_cast<std::uint32_t>(key), tf});
  }
  std::sort(overflow.begin(), overflow.end());

  const std::size_t state_size = model_.state_size();
  out.append(kMagic, sizeof kMagic);
  put(out, kVersion);
  put(out, std::uint32_t{0});
  put(out, static_cast<std::uint64_t>(lengths_.size()));
  put(out, static_cast<std::uint64_t>(terms_.size()));
  put(out, posting_total);
  put(out, static_cast<std::uint64_t>(overflow.size()));
  put(out, static_cast<std::uint64_t>(state_size));
  put(out, token_bytes);
  {
    std::string state(state_size, '\0');
    model_.write_state(state.data());
    out.append(state.data(), state.size());
  }
  pad(out);
  if (!lengths_.empty()) out.append(reinterpret_cast<const char*>(lengths_.data()), lengths_.size() * sizeof(std::uint32_t));
  pad(out);
  for (const std::size_t term : order) put(out, static_cast<std::uint32_t>(terms_.token_at(term).size()));
  for (const std::size_t term : order) out.append(terms_.token_at(term).data(), terms_.token_at(term).size());
  pad(out);
  std::uint64_t offset = 0;
  put(out, offset);
  for (const std::size_t term : order) {
    offset += postings(term).size;
    put(out, offset);
  }
  for (const std::size_t term : order) {
    const TermBound bound = exact_bound(term);  // one index, one file: never a looser bound
    put(out, bound.max_tf);
    put(out, bound.min_length);
  }
  for (const std::size_t term : order) {
    const View view = postings(term);
    if (view.size > 0) out.append(reinterpret_cast<const char*>(view.docs), view.size * sizeof(std::uint32_t));
  }
  pad(out);
  for (const std::size_t term : order) {
    const View view = postings(term);
    if (view.size > 0) out.append(reinterpret_cast<const char*>(view.tfs), view.size);
  }
  pad(out);
  for (const auto& entry : overflow) {
    for (const std::uint32_t field : entry) put(out, field);
  }
}

void BM25Index::save(const std::string& path) const {
  // A temporary name beside the target, then a rename: a process that maps the old file keeps
  // its consistent bytes, and no reader ever sees half a file.
  // Created new (O_EXCL): whatever already has the name (a FIFO, a link to another file) is
  // left alone, and the next name tried.
  std::string temporary;
  int created = -1;
  for (unsigned attempt = 0; attempt < 100 && created < 0; ++attempt) {
    temporary = path + ".tmp" + std::to_string(getpid()) + "." + std::to_string(attempt);
    created = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (created < 0 && errno != EEXIST) throw std::system_error(errno, std::generic_category(), "cannot write " + temporary);
  }
  if (created < 0) throw std::system_error(EEXIST, std::generic_category(), "cannot write " + temporary);
  try {
    const Descriptor fd(created);
    // Written as it is made, a megabyte at a time, never held whole.
    FileSink sink(fd.get(), temporary);
    write_file(sink);
    sink.flush();
    // On the disk before the rename, so that a crash never leaves the name on an empty file.
    if (fsync(fd.get()) != 0) throw std::system_error(errno, std::generic_category(), "cannot write " + temporary);
  } catch (...) {
    unlink(temporary.c_str());
    throw;
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    unlink(temporary.c_str());
    throw std::system_error(error, std::generic_category(), "cannot rename " + temporary + " to " + path);
  }
}

BM25Index BM25Index::from_bytes(std::string_view bytes) {
  BM25Index index = parse(bytes, nullptr);
  index.check_postings();
  index.stale_all_blocks();
  return index;
}

namespace {

// The header's counts and where each section begins, once check_header has bounded them.
struct Layout {
  std::uint64_t id_count, term_count, posting_total, overflow_count, state_size, token_bytes;
  std::uint64_t state_at = 0, lengths_at = 0, sizes_at = 0, offsets_at = 0, bounds_at = 0, docs_at = 0, tfs_at = 0,
                overflow_at = 0;
};

Layout check_header(std::string_view header, std::uint64_t size);

}  // namespace

BM25Index BM25Index::load(const std::string& path, bool map) {
  // Non-blocking, so that a FIFO or a device cannot hang the open; only regular files pass.
  const Descriptor fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (fd.get() < 0) throw std::system_error(errno, std::generic_category(), "cannot open " + path);
  struct stat status {};
  if (fstat(fd.get(), &status) != 0) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
  if (!S_ISREG(status.st_mode)) throw damaged("not a regular file: " + path);
  const auto size = static_cast<std::size_t>(status.st_size);
  if (size < kHeaderSize) throw damaged("too short for a header");
  if (map) {
    void* address = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd.get(), 0);
    if (address == MAP_FAILED) throw std::system_error(errno, std::generic_category(), "cannot map " + path);
    auto mapping = std::make_shared<const MappedFile>(address, size);
    return parse(mapping->bytes(), mapping);
  }
  // The header first: a file that is not an index, or whose sections do not add up to its size,
  // is refused before anything of its size is allocated.
  std::array<char, kHeaderSize> header{};
  for (std::size_t done = 0; done < kHeaderSize;) {
    const ssize_t step = pread(fd.get(), header.data() + done, kHeaderSize - done, static_cast<off_t>(done));
    if (step < 0 && errno == EINTR) continue;
    if (step < 0) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
    if (step == 0) throw damaged("the file shrank while it was read");
    done += static_cast<std::size_t>(step);
  }
  check_header(std::string_view(header.data(), kHeaderSize), size);
  std::string bytes(size, '\0');
  std::size_t done = 0;
  while (done < size) {
    const ssize_t step = pread(fd.get(), bytes.data() + done, size - done, static_cast<off_t>(done));
    if (step < 0 && errno == EINTR) continue;
    if (step < 0) throw std::system_error(errno, std::generic_category(), "cannot read " + path);
    if (step == 0) throw damaged("the file shrank while it was read");
    done += static_cast<std::size_t>(step);
  }
  return from_bytes(bytes);
}

namespace {

// Checks `header`, the first kHeaderSize bytes of an index file of `size` bytes, and returns where
// each section begins; throws unless the sections add up to that size.
Layout check_header(std::string_view header, std::uint64_t size) {
  if (header.size() < kHeaderSize || size < kHeaderSize) throw damaged("too short for a header");
  if (std::memcmp(header.data(), kMagic, sizeof kMagic) != 0) throw damaged("not an index file (bad magic)");
  if (read_at<std::uint32_t>(header, 8) != kVersion) throw damaged("unknown version");
  if (read_at<std::uint32_t>(header, 12) != 0) throw damaged("reserved header field is not zero");
  const auto id_count = read_at<std::uint64_t>(header, 16);
  const auto term_count = read_at<std::uint64_t>(header, 24);
  const auto posting_total = read_at<std::uint64_t>(header, 32);
  const auto overflow_count = read_at<std::uint64_t>(header, 40);
  const auto state_size = read_at<std::uint64_t>(header, 48);
  const auto token_bytes = read_at<std::uint64_t>(header, 56);
  // Every count is bounded by the file's size before any product or allocation is formed.
  if (id_count > size / 4 || id_count > BM25Index::kMaxDocuments) throw damaged("document count exceeds the file");
  if (term_count > size / 20) throw damaged("token count exceeds the file");
  if (posting_total > size / 5) throw damaged("posting count exceeds the file");
  if (overflow_count > size / 12) throw damaged("large frequency count exceeds the file");
  if (state_size > size || token_bytes > size) throw damaged("section size exceeds the file");
  Layout layout{id_count, term_count, posting_total, overflow_count, state_size, token_bytes};
  layout.state_at = kHeaderSize;
  layout.lengths_at = layout.state_at + padded(state_size);
  layout.sizes_at = layout.lengths_at + padded(id_count * 4);
  layout.offsets_at = layout.sizes_at + padded(term_count * 4 + token_bytes);
  layout.bounds_at = layout.offsets_at + (term_count + 1) * 8;
  layout.docs_at = layout.bounds_at + term_count * 8;
  layout.tfs_at = layout.docs_at + padded(posting_total * 4);
  layout.overflow_at = layout.tfs_at + padded(posting_total);
  if (layout.overflow_at + overflow_count * 12 != size) throw damaged("sections do not add up to the file's size");
  return layout;
}

}  // namespace

BM25Index BM25Index::parse(std::string_view bytes, std::shared_ptr<const MappedFile> mapping) {
  const Layout layout = check_header(bytes.substr(0, kHeaderSize), bytes.size());
  const auto [id_count, term_count, posting_total, overflow_count, state_size, token_bytes, state_at, lengths_at,
              sizes_at, offsets_at, bounds_at, docs_at, tfs_at, overflow_at] = layout;
  // Padding is zero, so that one index has one file.
  const std::uint64_t padding[][2] = {{state_at + state_size, lengths_at},
                                      {lengths_at + id_count * 4, sizes_at},
                                      {sizes_at + term_count * 4 + token_bytes, offsets_at},
                                      {docs_at + posting_total * 4, tfs_at},
                                      {tfs_at + posting_total, overflow_at}};
  for (const auto& [from, to] : padding) {
    for (std::uint64_t at = from; at < to; ++at) {
      if (bytes[at] != '\0') throw damaged("padding is not zero");
    }
  }

  BM25Index index(0.0, 0.0);
  try {
    index.model_ = BM25::from_state(bytes.substr(state_at, state_size));
  } catch (const std::invalid_argument&) {
    throw damaged("the model's state is damaged");
  }
  index.lengths_.resize(id_count);
  if (id_count > 0) std::memcpy(index.lengths_.data(), bytes.data() + lengths_at, id_count * 4);
  index.live_mask_.resize(id_count);
  std::int64_t length_total = 0;
  for (std::size_t id = 0; id < id_count; ++id) {
    index.live_mask_[id] = index.lengths_[id] != 0;
    index.live_ += index.lengths_[id] != 0;
    length_total += index.lengths_[id];
  }
  const BM25& model = index.model_;
  if (static_cast<std::int64_t>(index.live_) != model.doc_count() || length_total != model.doc_length_total()) {
    throw damaged("the model's document counts disagree with the documents");
  }
  const double average = model.doc_count() == 0 ? 0.0 : static_cast<double>(length_total) / static_cast<double>(model.doc_count());
  const double held_average = model.doc_length_average();
  if (std::memcmp(&average, &held_average, sizeof average) != 0) {
    throw damaged("the model's average length disagrees with the documents");
  }
  if (term_count != model.doc_token_frequency().size()) throw damaged("the model's tokens are not the postings' tokens");

  index.terms_.reserve_more(term_count);
  std::uint64_t token_at = sizes_at + term_count * 4;
  std::string_view previous;
  for (std::size_t term = 0; term < term_count; ++term) {
    const auto token_size = read_at<std::uint32_t>(bytes, sizes_at + term * 4);
    if (token_size > offsets_at - token_at) throw damaged("a token runs past its section");
    const std::string_view token = bytes.substr(token_at, token_size);
    token_at += token_size;
    if (term > 0 && !token_less(previous, token)) throw damaged("tokens are not in strictly ascending order");
    if (model.doc_token_frequency().find(token) == TokenTable::npos) throw damaged("a token is not in the model");
    previous = token;
    index.terms_.insert_reserved(std::string(token), TokenHash{}(token), 0);
  }
  if (token_at != sizes_at + term_count * 4 + token_bytes) throw damaged("token sizes do not add up to their section");

  std::vector<std::uint64_t> offsets(term_count + 1);
  std::memcpy(offsets.data(), bytes.data() + offsets_at, offsets.size() * 8);
  if (offsets.front() != 0 || offsets.back() != posting_total) throw damaged("posting offsets do not span the postings");
  for (std::size_t term = 0; term < term_count; ++term) {
    if (offsets[term + 1] <= offsets[term]) throw damaged("posting offsets are not strictly ascending");
  }
  index.bounds_.resize(term_count);
  for (std::size_t term = 0; term < term_count; ++term) {
    index.bounds_[term].max_tf = read_at<std::uint32_t>(bytes, bounds_at + term * 8);
    index.bounds_[term].min_length = read_at<std::uint32_t>(bytes, bounds_at + term * 8 + 4);
  }
  const std::uint64_t key_limit = term_count;
  std::uint64_t previous_key = 0;
  index.overflow_.reserve(overflow_count);
  for (std::size_t entry = 0; entry < overflow_count; ++entry) {
    const auto term = read_at<std::uint32_t>(bytes, overflow_at + entry * 12);
    const auto doc = read_at<std::uint32_t>(bytes, overflow_at + entry * 12 + 4);
    const auto tf = read_at<std::uint32_t>(bytes, overflow_at + entry * 12 + 8);
    if (term >= key_limit || doc >= id_count) throw damaged("a large frequency names a token or document out of range");
    if (tf < kTfEscape) throw damaged("a large frequency is small");
    const std::uint64_t key = overflow_key(term, doc);
    if (entry > 0 && key <= previous_key) throw damaged("large frequencies are not in ascending order");
    previous_key = key;
    index.overflow_.emplace(key, tf);
  }

  const auto* docs = reinterpret_cast<const std::uint32_t*>(bytes.data() + docs_at);
  const auto* tfs = reinterpret_cast<const std::uint8_t*>(bytes.data() + tfs_at);
  if (mapping) {
    // The mapping starts on a page and the section on a multiple of 8, so ids are aligned.
    index.mapping_ = std::move(mapping);
    index.mapped_blocks_ = std::make_shared<MappedBlocks>();
    index.mapped_blocks_->checked.reset(new std::atomic<std::uint8_t>[term_count]());
    index.mapped_blocks_->blocks.resize(term_count);
    index.mapped_offsets_ = std::move(offsets);
    index.mapped_docs_ = docs;
    index.mapped_tfs_ = tfs;
  } else {
    index.owned_.resize(term_count);
    for (std::size_t term = 0; term < term_count; ++term) {
      Postings& list = index.owned_[term];
      const auto begin = static_cast<std::size_t>(offsets[term]);
      const auto stop = static_cast<std::size_t>(offsets[term + 1]);
      list.docs.resize(stop - begin);
      std::memcpy(list.docs.data(), bytes.data() + docs_at + begin * 4, (stop - begin) * 4);
      list.tfs.assign(tfs + begin, tfs + stop);
    }
  }
  index.refresh_factors();
  return index;
}

}  // namespace lumo::typing::text
