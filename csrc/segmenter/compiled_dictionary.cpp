// The compiled dictionary: the engine's tables in one versioned file, mapped read-only. Every
// length and offset is checked against the file's size before it is followed; what the tables
// hold is walked with bounds of its own (see RuneTrie), so damaged bytes give wrong words at worst.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "engine.h"

#define XXH_INLINE_ALL
#include <xxhash.h>

namespace lumo::segmenter {
namespace {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "compiled dictionaries are little-endian");
static_assert(sizeof(TrieCell) == 24, "TrieCell is written as it is laid out");

constexpr char kMagic[8] = {'D', 'Z', 'J', 'I', 'E', 'B', 'A', '\x1a'};
constexpr std::uint32_t kVersion = 2;
constexpr std::uint32_t kByteOrder = 0x01020304;

enum SectionId : std::size_t {
  kScalars,
  kRootCells,
  kEdgeCells,
  kTagOffsets,
  kTagBlob,
  kUserSingles,
  kEmissionIndex,
  kEmissions,
  kAstralEmissions,
  kIdfOffsets,
  kIdfBlob,
  kIdfValues,
  kStopOffsets,
  kStopBlob,
  kEdgeFilter,
  kSectionCount
};

struct Section {
  std::uint64_t offset;
  std::uint64_t size;
};

struct Header {
  char magic[8];
  std::uint32_t version;
  std::uint32_t byte_order;
  std::uint64_t key;
  std::uint64_t file_size;
  Section sections[kSectionCount];
};

struct Scalars {
  double freq_sum;
  double min_weight;
  double default_weight;
  double idf_average;
  double start[kHmmStates];
  double transition[kHmmStates * kHmmStates];
  std::uint64_t edge_capacity;
  std::uint64_t node_count;
};

[[noreturn]] void damaged(const std::string& path, const std::string& what) {
  throw std::invalid_argument(path + ": not a usable compiled dictionary: " + what);
}

// Closes a descriptor on every path.
struct Descriptor {
  int value;
  ~Descriptor() {
    if (value >= 0) ::close(value);
  }
};

// Offsets into a blob as (offsets, blob) sections: count + 1 offsets, none decreasing, the last
// within the blob.
void append_strings(const std::vector<std::string_view>& strings, std::vector<std::uint32_t>& offsets,
                    std::string& blob) {
  for (const std::string_view text : strings) {
    offsets.push_back(static_cast<std::uint32_t>(blob.size()));
    blob.append(text);
  }
  offsets.push_back(static_cast<std::uint32_t>(blob.size()));
}

}  // namespace

std::uint64_t dictionary_key(const SegmenterFiles& files) {
  XXH3_state_t* state = XXH3_createState();
  if (state == nullptr) throw std::bad_alloc();
  XXH3_64bits_reset_withSeed(state, kVersion);
  const auto add = [state](std::string_view bytes) {
    const std::uint64_t size = bytes.size();
    XXH3_64bits_update(state, &size, sizeof size);
    XXH3_64bits_update(state, bytes.data(), bytes.size());
  };
  add(files.dict);
  const std::uint64_t user_count = files.user_dicts.size();
  XXH3_64bits_update(state, &user_count, sizeof user_count);
  for (const std::string& user : files.user_dicts) add(user);
  add(files.hmm);
  add(files.idf);
  add(files.stop_words);
  const std::uint64_t key = XXH3_64bits_digest(state);
  XXH3_freeState(state);
  return key;
}

void Engine::save(const std::string& path, std::uint64_t key) const {
  // The system calls would take the shorter path before the NUL byte.
  if (path.find('\0') != std::string::npos) throw std::invalid_argument("compiled dictionary path contains a NUL byte");
  std::string sections[kSectionCount];
  const auto put = [&sections](SectionId id, const void* data, std::size_t size) {
    sections[id].assign(static_cast<const char*>(data), size);
  };
  Scalars scalars{};
  scalars.freq_sum = freq_sum_;
  scalars.min_weight = min_weight_;
  scalars.default_weight = user_word_default_weight_;
  scalars.idf_average = idf_average_;
  std::memcpy(scalars.start, start_, sizeof start_);
  std::memcpy(scalars.transition, transition_, sizeof transition_);
  scalars.edge_capacity = trie_.capacity();
  scalars.node_count = trie_.node_count();
  put(kScalars, &scalars, sizeof scalars);
  put(kRootCells, trie_.root_cells(), RuneTrie::kDirectRunes * sizeof(TrieCell));
  put(kEdgeCells, trie_.edge_cells(), trie_.capacity() * sizeof(TrieCell));
  put(kEdgeFilter, trie_.edge_filter(), RuneTrie::kFilterWords * sizeof(std::uint64_t));
  {
    std::vector<std::string_view> views(tags_.begin(), tags_.end());
    std::vector<std::uint32_t> offsets;
    append_strings(views, offsets, sections[kTagBlob]);
    put(kTagOffsets, offsets.data(), offsets.size() * sizeof(std::uint32_t));
  }
  put(kUserSingles, user_singles_.data(), user_singles_.size() * sizeof(std::uint32_t));
  put(kEmissionIndex, emission_index_.data(), emission_index_.size() * sizeof(std::uint32_t));
  put(kEmissions, emissions_.data(), emissions_.size() * sizeof(Emission));
  {
    std::vector<std::uint32_t> astral;
    for (const auto& [rune, index] : emission_astral_) {
      astral.push_back(rune);
      astral.push_back(index);
    }
    put(kAstralEmissions, astral.data(), astral.size() * sizeof(std::uint32_t));
  }
  put(kIdfOffsets, idf_offsets_, (idf_count_ + 1) * sizeof(std::uint32_t));
  put(kIdfBlob, idf_blob_, idf_offsets_[idf_count_]);
  put(kIdfValues, idf_values_, idf_count_ * sizeof(double));
  {
    std::vector<std::string_view> words(stop_words_.begin(), stop_words_.end());
    std::vector<std::uint32_t> offsets;
    append_strings(words, offsets, sections[kStopBlob]);
    put(kStopOffsets, offsets.data(), offsets.size() * sizeof(std::uint32_t));
  }

  Header header{};
  std::memcpy(header.magic, kMagic, sizeof kMagic);
  header.version = kVersion;
  header.byte_order = kByteOrder;
  header.key = key;
  std::uint64_t offset = sizeof(Header);
  for (std::size_t i = 0; i < kSectionCount; ++i) {
    offset = (offset + 7) / 8 * 8;  // every section 8-aligned, as its doubles and cells need
    header.sections[i] = Section{offset, sections[i].size()};
    offset += sections[i].size();
  }
  header.file_size = offset;
  std::string bytes(offset, '\0');
  std::memcpy(bytes.data(), &header, sizeof header);
  for (std::size_t i = 0; i < kSectionCount; ++i) {
    std::memcpy(bytes.data() + header.sections[i].offset, sections[i].data(), sections[i].size());
  }

  // The rename replaces only a regular file: a FIFO or a device at the path stays as it is.
  struct stat target {};
  if (::stat(path.c_str(), &target) == 0 && !S_ISREG(target.st_mode)) {
    throw std::invalid_argument(path + ": not a regular file");
  }
  // A temporary name beside the target, created new (O_EXCL, no link followed): whatever already
  // has such a name (a FIFO, a link to another file) is never opened or written through.
  std::string temporary;
  Descriptor created{-1};
  for (int attempt = 0; created.value < 0; ++attempt) {
    temporary = path + ".tmp" + std::to_string(::getpid()) + "." + std::to_string(attempt);
    created.value = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (created.value < 0 && (errno != EEXIST || attempt == 99)) throw FileAccessError(errno, temporary);
  }
  {
    const Descriptor file{std::exchange(created.value, -1)};
    std::size_t written = 0;
    while (written < bytes.size()) {
      const ssize_t done = ::write(file.value, bytes.data() + written, bytes.size() - written);
      if (done < 0) {
        if (errno == EINTR) continue;
        const int error = errno;
        ::unlink(temporary.c_str());
        throw FileAccessError(error, temporary);
      }
      written += static_cast<std::size_t>(done);
    }
  }
  if (::rename(temporary.c_str(), path.c_str()) != 0) {
    const int error = errno;
    ::unlink(temporary.c_str());
    throw FileAccessError(error, path);
  }
}

std::unique_ptr<Engine> Engine::load(const std::string& path, std::uint64_t key) {
  if (path.find('\0') != std::string::npos) throw std::invalid_argument("compiled dictionary path contains a NUL byte");
  // Not blocking on a FIFO, and only a regular file is mapped.
  const Descriptor file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  if (file.value < 0) throw FileAccessError(errno, path);
  struct stat status {};
  if (::fstat(file.value, &status) != 0) throw FileAccessError(errno, path);
  if (S_ISDIR(status.st_mode)) throw FileAccessError(EISDIR, path);
  if (!S_ISREG(status.st_mode)) damaged(path, "not a regular file");
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (size < sizeof(Header)) damaged(path, "shorter than its header");
  void* address = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file.value, 0);
  if (address == MAP_FAILED) throw FileAccessError(errno, path);
  std::shared_ptr<const void> mapping(address, [size](const void* base) { ::munmap(const_cast<void*>(base), size); });
  const auto* base = static_cast<const char*>(address);

  Header header;
  std::memcpy(&header, base, sizeof header);
  if (std::memcmp(header.magic, kMagic, sizeof kMagic) != 0) damaged(path, "wrong magic");
  if (header.byte_order != kByteOrder) damaged(path, "wrong byte order");
  if (header.version != kVersion) damaged(path, "version " + std::to_string(header.version) + ", expected " + std::to_string(kVersion));
  if (header.file_size != size) damaged(path, "size differs from the one recorded");
  if (header.key != key) damaged(path, "compiled from other dictionary files");
  // A section's bytes, as `count` items of T (count 0: as many as it holds, exactly).
  const auto section = [&](SectionId id, std::size_t item, std::size_t alignment, std::uint64_t count) {
    const Section& where = header.sections[id];
    if (where.offset > size || where.size > size - where.offset) damaged(path, "section beyond the file");
    if (where.offset % alignment != 0) damaged(path, "misaligned section");
    if (where.size % item != 0 || (count != 0 && where.size / item != count)) damaged(path, "section of a wrong size");
    return std::pair<const char*, std::uint64_t>(base + where.offset, where.size / item);
  };

  std::unique_ptr<Engine> engine(new Engine());
  engine->mapping_ = mapping;
  Scalars scalars;
  std::memcpy(&scalars, section(kScalars, sizeof(Scalars), 8, 1).first, sizeof scalars);
  engine->freq_sum_ = scalars.freq_sum;
  engine->min_weight_ = scalars.min_weight;
  engine->user_word_default_weight_ = scalars.default_weight;
  engine->idf_average_ = scalars.idf_average;
  std::memcpy(engine->start_, scalars.start, sizeof scalars.start);
  std::memcpy(engine->transition_, scalars.transition, sizeof scalars.transition);
  const std::uint64_t capacity = scalars.edge_capacity;
  if (capacity < 2 || (capacity & (capacity - 1)) != 0 || capacity > (std::uint64_t{1} << 40)) {
    damaged(path, "edge table capacity is not a power of two");
  }
  if (scalars.node_count > RuneTrie::kIdMask) damaged(path, "too many trie nodes");
  const auto root = section(kRootCells, sizeof(TrieCell), 8, RuneTrie::kDirectRunes);
  const auto edges = section(kEdgeCells, sizeof(TrieCell), 8, capacity);
  const auto filter = section(kEdgeFilter, sizeof(std::uint64_t), 8, RuneTrie::kFilterWords);
  if (!RuneTrie::has_empty_cell(reinterpret_cast<const TrieCell*>(edges.first), capacity)) {
    damaged(path, "edge table without an empty cell");
  }
  engine->trie_ = RuneTrie(reinterpret_cast<const TrieCell*>(root.first), reinterpret_cast<const TrieCell*>(edges.first),
                           capacity, static_cast<std::uint32_t>(scalars.node_count),
                           reinterpret_cast<const std::uint64_t*>(filter.first));

  // Strings as (offsets, blob): offsets never decrease and stay within the blob.
  const auto strings = [&](SectionId offsets_id, SectionId blob_id) {
    const auto offsets = section(offsets_id, sizeof(std::uint32_t), 4, 0);
    const auto blob = section(blob_id, 1, 1, 0);
    if (offsets.second == 0) damaged(path, "string table without offsets");
    const auto* values = reinterpret_cast<const std::uint32_t*>(offsets.first);
    for (std::uint64_t i = 0; i < offsets.second; ++i) {
      if (values[i] > blob.second || (i > 0 && values[i] < values[i - 1])) damaged(path, "string offsets out of order");
    }
    return std::make_tuple(values, blob.first, offsets.second - 1);
  };
  {
    const auto [offsets, blob, count] = strings(kTagOffsets, kTagBlob);
    if (count > static_cast<std::uint64_t>(INT32_MAX)) damaged(path, "too many tags");
    for (std::uint64_t i = 0; i < count; ++i) {
      engine->tags_.emplace_back(blob + offsets[i], offsets[i + 1] - offsets[i]);
      engine->tag_ids_.emplace(engine->tags_.back(), static_cast<std::int32_t>(i));
    }
  }
  {
    const auto singles = section(kUserSingles, sizeof(std::uint32_t), 4, 0);
    const auto* values = reinterpret_cast<const std::uint32_t*>(singles.first);
    engine->user_singles_.assign(values, values + singles.second);
    std::sort(engine->user_singles_.begin(), engine->user_singles_.end());
    engine->index_user_singles();
  }
  {
    const auto emissions = section(kEmissions, sizeof(Emission), 8, 0);
    if (emissions.second == 0) damaged(path, "no emission row");
    const auto* rows = reinterpret_cast<const Emission*>(emissions.first);
    engine->emissions_.assign(rows, rows + emissions.second);
    const auto index = section(kEmissionIndex, sizeof(std::uint32_t), 4, RuneTrie::kDirectRunes);
    const auto* indexes = reinterpret_cast<const std::uint32_t*>(index.first);
    engine->emission_index_.assign(indexes, indexes + RuneTrie::kDirectRunes);
    const auto astral = section(kAstralEmissions, 2 * sizeof(std::uint32_t), 4, 0);
    const auto* pairs = reinterpret_cast<const std::uint32_t*>(astral.first);
    for (std::uint64_t i = 0; i < astral.second; ++i) engine->emission_astral_.emplace(pairs[2 * i], pairs[2 * i + 1]);
    for (const std::uint32_t row : engine->emission_index_) {
      if (row >= emissions.second) damaged(path, "emission index beyond its table");
    }
    for (const auto& entry : engine->emission_astral_) {
      if (entry.second >= emissions.second) damaged(path, "emission index beyond its table");
    }
  }
  {
    const auto [offsets, blob, count] = strings(kIdfOffsets, kIdfBlob);
    const auto values = section(kIdfValues, sizeof(double), 8, count);
    engine->idf_offsets_ = offsets;
    engine->idf_blob_ = blob;
    engine->idf_values_ = reinterpret_cast<const double*>(values.first);
    engine->idf_count_ = static_cast<std::size_t>(count);
  }
  {
    const auto [offsets, blob, count] = strings(kStopOffsets, kStopBlob);
    for (std::uint64_t i = 0; i < count; ++i) engine->stop_words_.emplace(blob + offsets[i], offsets[i + 1] - offsets[i]);
  }
  engine->plan_transitions();
  return engine;
}

}  // namespace lumo::segmenter
