#include "formats/genome_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#include "formats/inflate.h"
#include "formats/text_bytes.h"

namespace formats {
namespace {

// Decoded BGZF blocks kept per file: 2 MiB, whatever the file's size.
constexpr size_t kCacheBlocks = 32;
// Pieces in which long regions are read, and files read through.
constexpr size_t kPiece = size_t{1} << 20;

std::string SystemError(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

// A file descriptor closed on every way out.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  int Release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

int OpenForReading(const std::string& path, std::string& error) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) error = SystemError(path, errno);
  return fd;
}

// Reads up to `size` bytes at `offset`, going on after short reads; the
// count read (fewer only at the end of the file) or -1.
int64_t ReadAt(int fd, uint64_t offset, size_t size, void* out, std::string& error) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n =
        ::pread(fd, static_cast<char*>(out) + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      error = SystemError("reading at offset " + std::to_string(offset + done), errno);
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

// The same, from where the file stands.
int64_t ReadOn(int fd, size_t size, void* out, std::string& error) {
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, static_cast<char*>(out) + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error = SystemError("reading", errno);
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

// Reads BGZF blocks one after another from a file read through once.
class BlockStream {
 public:
  explicit BlockStream(int fd) : fd_(fd), buffer_(new uint8_t[2 * kBgzfMaxBlock]) {}

  // The next block, or false at the end of the file (error empty) or on a
  // fault (error set).
  bool Next(BgzfBlock& block, uint64_t& offset, std::string& error) {
    for (;;) {
      size_t needed = 0;
      const BlockFault fault = ParseBlock(
          std::span<const uint8_t>(buffer_.get() + begin_, end_ - begin_), block, needed);
      if (fault == BlockFault::kNone) {
        offset = offset_;
        begin_ += block.size;
        offset_ += block.size;
        return true;
      }
      if (fault == BlockFault::kShort && !ended_) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
        const int64_t got = ReadOn(fd_, 2 * kBgzfMaxBlock - end_, buffer_.get() + end_, error);
        if (got < 0) return false;
        if (got == 0) ended_ = true;
        end_ += static_cast<size_t>(got);
        continue;
      }
      if (fault == BlockFault::kShort && begin_ == end_) return false;  // the end
      error = fault == BlockFault::kShort
                  ? "the file ends inside the BGZF block at offset " + std::to_string(offset_)
                  : "no BGZF block at offset " + std::to_string(offset_) +
                        (fault == BlockFault::kMalformed ? " (its sizes are impossible)" : "");
      return false;
    }
  }

 private:
  int fd_;
  std::unique_ptr<uint8_t[]> buffer_;
  size_t begin_ = 0, end_ = 0;
  uint64_t offset_ = 0;  // file offset of buffer_[begin_]
  bool ended_ = false;
};

// Joins the bases of a piece of raw bytes of lines of `width` bytes with
// `bases` bases each, `column` being the position in its line of the
// piece's first byte (kept for the next piece).  Sets `uneven` when a base
// stands where a line should end: a line holds more bases than the first
// (which the tools accept), and the arithmetic does not hold.
size_t JoinLines(const char* p, size_t n, uint64_t bases, uint64_t width, uint64_t& column,
                 char* out, size_t room, bool& uneven) {
  size_t written = 0;
  size_t at = 0;
  while (at < n && written < room) {
    if (column < bases) {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(
          {bases - column, static_cast<uint64_t>(n - at), static_cast<uint64_t>(room - written)}));
      std::memcpy(out + written, p + at, take);
      written += take;
      at += take;
      column += take;
    } else {
      const size_t skip =
          static_cast<size_t>(std::min<uint64_t>(width - column, static_cast<uint64_t>(n - at)));
      // A base where a line should end: the lines are not all alike.
      for (size_t k = 0; k < skip; ++k)
        uneven = uneven || IsBase(static_cast<unsigned char>(p[at + k]));
      at += skip;
      column += skip;
    }
    if (column == width) column = 0;
  }
  return written;
}

}  // namespace

// The buffers of one read: lent to a call, then kept for the next one.  (A
// set per thread would live in the thread-local storage of a module loaded
// at run time, which the thread checker cannot follow.)
struct GenomeFile::Scratch {
  std::vector<char> raw;
  std::unique_ptr<uint8_t[]> compressed{new uint8_t[kBgzfMaxBlock]};
  std::unique_ptr<uint8_t[]> decoded{new uint8_t[kBgzfMaxBlock]};
};

GenomeFile::Lease::Lease(const GenomeFile& file) : file_(file) {
  {
    std::lock_guard<std::mutex> lock(file.spare_mutex_);
    if (!file.spare_.empty()) {
      scratch_ = std::move(file.spare_.back());
      file.spare_.pop_back();
    }
  }
  if (!scratch_) scratch_ = std::make_unique<Scratch>();
}

GenomeFile::Lease::~Lease() {
  std::lock_guard<std::mutex> lock(file_.spare_mutex_);
  try {
    file_.spare_.push_back(std::move(scratch_));
  } catch (const std::bad_alloc&) {
    // Not kept: the next call makes a set of its own.
  }
}

GenomeFile::GenomeFile(int fd, std::vector<FaiEntry> entries, bool fastq)
    : fd_(fd), entries_(std::move(entries)), fastq_(fastq) {}

GenomeFile::~GenomeFile() { ::close(fd_); }

std::unique_ptr<GenomeFile> GenomeFile::Open(const std::string& path, std::vector<FaiEntry> entries,
                                             bool fastq, const std::vector<GziEntry>* gzi,
                                             std::string& error) {
  Descriptor fd(OpenForReading(path, error));
  if (fd.get() < 0) return nullptr;
  struct stat status;
  if (::fstat(fd.get(), &status) != 0) {
    error = SystemError(path, errno);
    return nullptr;
  }
  uint8_t head[kBgzfHeaderSize];
  const int64_t got = ReadAt(fd.get(), 0, sizeof head, head, error);
  if (got < 0) return nullptr;
  const Compression compression = CompressionOf({head, static_cast<size_t>(got)});
  if (compression == Compression::kGzip) {
    error = path + " is compressed with gzip, not BGZF";
    return nullptr;
  }
  std::unique_ptr<GenomeFile> file(new GenomeFile(fd.Release(), std::move(entries), fastq));
  file->data_size_ = static_cast<uint64_t>(status.st_size);
  if (compression == Compression::kBgzf) {
    if (gzi == nullptr) {
      error = path + " is BGZF and needs its .gzi index";
      return nullptr;
    }
    file->bgzf_ = true;
    file->blocks_.reserve(gzi->size() + 1);
    file->blocks_.push_back({0, 0});
    file->blocks_.insert(file->blocks_.end(), gzi->begin(), gzi->end());
    file->cache_.resize(kCacheBlocks);
    if (!file->MeasureBgzf(error)) return nullptr;
  }
  return file;
}

// The data's size: where the last listed block starts, plus what it and the
// blocks after it hold.  A .gzi that does not fit the file lands outside a
// block, or short of its end: the size is then 0 and Fits() says so.
bool GenomeFile::MeasureBgzf(std::string& error) {
  uint64_t compressed = blocks_.back().compressed;
  uint64_t total = blocks_.back().uncompressed;
  Lease lease(*this);
  Scratch& scratch = *lease;
  for (;;) {
    const int64_t got = ReadAt(fd_, compressed, kBgzfMaxBlock, scratch.compressed.get(), error);
    if (got < 0) return false;
    if (got == 0) break;
    BgzfBlock block;
    size_t needed = 0;
    if (ParseBlock({scratch.compressed.get(), static_cast<size_t>(got)}, block, needed) !=
        BlockFault::kNone) {
      total = 0;
      break;
    }
    compressed += block.size;
    total += block.uncompressed;
  }
  data_size_ = total;
  return true;
}

// An index fits when the data holds at least each sequence's bases, with
// the line feeds of the fewest lines they can fill.  That is not the
// arithmetic end (the lines' bases times their width): the tools accept lines
// after the first that hold more bases than it, in as many bytes (a line
// feed alone where the first line ends in a carriage return and a line
// feed), so a line may hold up to its width less one.  For a file of line
// feeds this bound is the data's own end.
bool GenomeFile::Fits() const {
  const auto fits = [this](uint64_t offset, const FaiEntry& entry) {
    if (offset > data_size_) return false;
    if (entry.length == 0) return true;
    const uint64_t per_line = entry.line_width > 1 ? entry.line_width - 1 : 1;
    const uint64_t lines = (entry.length - 1) / per_line + 1;
    return entry.length + (lines - 1) <= data_size_ - offset;
  };
  for (const FaiEntry& entry : entries_) {
    if (!fits(entry.offset, entry)) return false;
    if (fastq_ && !fits(entry.quality_offset, entry)) return false;
  }
  return true;
}

int64_t GenomeFile::Read(uint64_t offset, size_t size, char* out, std::string& error) const {
  Lease lease(*this);
  return ReadWith(*lease, offset, size, out, error);
}

int64_t GenomeFile::ReadWith(Scratch& scratch, uint64_t offset, size_t size, char* out,
                             std::string& error) const {
  return bgzf_ ? ReadBgzf(scratch, offset, size, out, error)
               : ReadAt(fd_, offset, size, out, error);
}

int64_t GenomeFile::ReadBgzf(Scratch& scratch, uint64_t offset, size_t size, char* out,
                             std::string& error) const {
  size_t done = 0;
  while (done < size && offset + done < data_size_) {
    const uint64_t at = offset + done;
    // The last listed block that starts at or before `at`; blocks that
    // hold nothing may come before the one that holds it.
    auto listed = std::upper_bound(
        blocks_.begin(), blocks_.end(), at,
        [](uint64_t value, const GziEntry& entry) { return value < entry.uncompressed; });
    --listed;
    uint64_t compressed = listed->compressed;
    uint64_t start = listed->uncompressed;
    size_t read_size = kBgzfMaxBlock;
    if (listed + 1 != blocks_.end()) {
      read_size = static_cast<size_t>(
          std::min<uint64_t>(kBgzfMaxBlock, (listed + 1)->compressed - compressed));
    }
    for (;;) {
      uint64_t on_file = 0;
      uint32_t holds = 0;
      const int64_t copied = FromBlock(scratch, compressed, read_size, at - start, size - done,
                                       out + done, on_file, holds, error);
      if (copied < 0) return -1;
      if (on_file == 0) return static_cast<int64_t>(done);  // the end of the file
      if (copied > 0) {
        done += static_cast<size_t>(copied);
        break;
      }
      // The block ends before `at` (or holds nothing): on to the next.
      compressed += on_file;
      start += holds;
      read_size = kBgzfMaxBlock;
    }
  }
  return static_cast<int64_t>(done);
}

int64_t GenomeFile::FromBlock(Scratch& scratch, uint64_t compressed, size_t read_size,
                              uint64_t offset, size_t size, char* out, uint64_t& on_file,
                              uint32_t& holds, std::string& error) const {
  {
    std::lock_guard<std::mutex> lock(cache_mutex_);
    for (CachedBlock& slot : cache_) {
      if (slot.compressed != compressed) continue;
      slot.used = ++clock_;
      on_file = slot.size;
      holds = slot.uncompressed;
      if (offset >= slot.uncompressed) return 0;
      const size_t need = static_cast<size_t>(std::min<uint64_t>(offset + size, slot.uncompressed));
      if (slot.decoded >= need) {
        std::memcpy(out, slot.data.get() + offset, need - offset);
        return static_cast<int64_t>(need - offset);
      }
      break;
    }
  }
  int64_t got = ReadAt(fd_, compressed, read_size, scratch.compressed.get(), error);
  if (got < 0) return -1;
  BgzfBlock block;
  size_t needed = 0;
  BlockFault fault =
      ParseBlock({scratch.compressed.get(), static_cast<size_t>(got)}, block, needed);
  if (fault == BlockFault::kShort && static_cast<size_t>(got) == read_size && needed > read_size) {
    got = ReadAt(fd_, compressed, needed, scratch.compressed.get(), error);
    if (got < 0) return -1;
    fault = ParseBlock({scratch.compressed.get(), static_cast<size_t>(got)}, block, needed);
  }
  if (fault == BlockFault::kShort && got == 0) {
    on_file = 0;
    return 0;
  }
  if (fault != BlockFault::kNone) {
    error = fault == BlockFault::kShort
                ? "the file ends inside the BGZF block at offset " + std::to_string(compressed)
                : "no BGZF block at offset " + std::to_string(compressed) +
                      ": the file changed after its .gzi was made";
    return -1;
  }
  on_file = block.size;
  holds = block.uncompressed;
  if (offset >= block.uncompressed) return 0;
  const size_t need = static_cast<size_t>(std::min<uint64_t>(offset + size, block.uncompressed));
  const int64_t decoded = InflateBlock(block, scratch.decoded.get(), need, error);
  if (decoded < 0) {
    error = "the BGZF block at offset " + std::to_string(compressed) + ": " + error;
    return -1;
  }
  std::memcpy(out, scratch.decoded.get() + offset, need - offset);
  {
    // The thread's buffer goes into the cache, and the buffer it takes the
    // place of becomes the thread's.
    std::lock_guard<std::mutex> lock(cache_mutex_);
    CachedBlock* chosen = nullptr;
    for (CachedBlock& slot : cache_) {
      if (slot.compressed == compressed) {
        chosen = &slot;
        break;
      }
      if (chosen == nullptr || slot.used < chosen->used) chosen = &slot;
    }
    if (chosen->compressed != compressed || chosen->decoded < static_cast<uint64_t>(decoded)) {
      std::swap(chosen->data, scratch.decoded);
      if (!scratch.decoded) scratch.decoded.reset(new uint8_t[kBgzfMaxBlock]);
      chosen->compressed = compressed;
      chosen->size = block.size;
      chosen->decoded = static_cast<uint32_t>(decoded);
      chosen->uncompressed = block.uncompressed;
    }
    chosen->used = ++clock_;
  }
  return static_cast<int64_t>(need - offset);
}

int64_t GenomeFile::Fetch(size_t i, uint64_t begin, uint64_t end, char* out,
                          std::string& error) const {
  const FaiEntry& entry = entries_[i];
  Lease lease(*this);
  return FetchFrom(*lease, entry, entry.offset, begin, end, out, error);
}

int64_t GenomeFile::FetchQuality(size_t i, char* out, std::string& error) const {
  const FaiEntry& entry = entries_[i];
  Lease lease(*this);
  return FetchFrom(*lease, entry, entry.quality_offset, 0, entry.length, out, error);
}

int64_t GenomeFile::FetchFrom(Scratch& scratch, const FaiEntry& entry, uint64_t start,
                              uint64_t begin, uint64_t end, char* out, std::string& error) const {
  const uint64_t count = end - begin;
  if (count == 0) return 0;
  const uint64_t bases = entry.line_bases, width = entry.line_width;
  if (bases == 0) return Collect(scratch, start, begin, count, out, error);
  const uint64_t first = start + begin / bases * width + begin % bases;
  const uint64_t last = start + (end - 1) / bases * width + (end - 1) % bases + 1;
  std::vector<char>& raw = scratch.raw;
  uint64_t column = begin % bases;
  uint64_t written = 0;
  bool uneven = false;
  for (uint64_t at = first; at < last && written < count;) {
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(kPiece, last - at));
    if (raw.size() < piece) raw.resize(piece);
    const int64_t got = ReadWith(scratch, at, piece, raw.data(), error);
    if (got < 0) return -1;
    written += JoinLines(raw.data(), static_cast<size_t>(got), bases, width, column, out + written,
                         static_cast<size_t>(count - written), uneven);
    if (static_cast<size_t>(got) < piece) break;
    at += piece;
  }
  if (written == count && !uneven && AllBases(out, static_cast<size_t>(count))) {
    return static_cast<int64_t>(count);
  }
  // Lines that hold more than bases, or more bases than the first: read as
  // the tools read them.
  return Collect(scratch, first, 0, count, out, error);
}

int64_t GenomeFile::Collect(Scratch& scratch, uint64_t from, uint64_t skip, uint64_t count,
                            char* out, std::string& error) const {
  std::vector<char>& raw = scratch.raw;
  const size_t piece = std::min<size_t>(kPiece, static_cast<size_t>(count + skip) + 4096);
  if (raw.size() < piece) raw.resize(piece);
  uint64_t written = 0;
  for (uint64_t at = from; written < count;) {
    const int64_t got = ReadWith(scratch, at, piece, raw.data(), error);
    if (got < 0) return -1;
    for (int64_t k = 0; k < got && written < count; ++k) {
      const auto byte = static_cast<unsigned char>(raw[static_cast<size_t>(k)]);
      if (!IsBase(byte)) continue;
      if (skip > 0) {
        --skip;
      } else {
        out[written++] = static_cast<char>(byte);
      }
    }
    if (static_cast<size_t>(got) < piece) break;
    at += piece;
  }
  return static_cast<int64_t>(written);
}

bool GenomeFile::Header(size_t i, std::string& header, std::string& error) const {
  const uint64_t end = entries_[i].offset;  // just past the header's line feed
  const char marker = fastq_ ? '@' : '>';
  for (uint64_t window = 256;; window *= 4) {
    const uint64_t from = end > window ? end - window : 0;
    std::string bytes(static_cast<size_t>(end - from), '\0');
    const int64_t got = Read(from, bytes.size(), bytes.data(), error);
    if (got < 0) return false;
    bytes.resize(static_cast<size_t>(got));
    if (bytes.empty() || bytes.back() != '\n' || got != static_cast<int64_t>(end - from)) break;
    bytes.pop_back();
    const size_t line_feed = bytes.rfind('\n');
    if (line_feed == std::string::npos && from > 0) continue;
    const size_t line_start = line_feed == std::string::npos ? 0 : line_feed + 1;
    if (line_start >= bytes.size() || bytes[line_start] != marker) break;
    header.assign(bytes, line_start + 1);
    if (!header.empty() && header.back() == '\r') header.pop_back();
    return true;
  }
  error = "no header line ends where the index says sequence '" + entries_[i].name +
          "' starts: the file changed after its index was made";
  return false;
}

bool BuildIndex(const std::string& path, FaiBuilder& fai, GziBuilder& gzi, bool& bgzf,
                std::string& error) {
  Descriptor fd(OpenForReading(path, error));
  if (fd.get() < 0) return false;
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  std::unique_ptr<char[]> buffer(new char[kPiece]);
  int64_t got = ReadOn(fd.get(), kPiece, buffer.get(), error);
  if (got < 0) return false;
  const Compression compression =
      CompressionOf({reinterpret_cast<const uint8_t*>(buffer.get()),
                     std::min<size_t>(static_cast<size_t>(got), kBgzfHeaderSize)});
  bgzf = compression == Compression::kBgzf;
  if (compression == Compression::kGzip) {
    error = path + " is compressed with gzip, not BGZF";
    return false;
  }
  if (!bgzf) {
    while (got > 0) {
      if (!fai.Add({buffer.get(), static_cast<size_t>(got)})) return false;
      got = ReadOn(fd.get(), kPiece, buffer.get(), error);
      if (got < 0) return false;
    }
    return fai.Finish();
  }
  if (::lseek(fd.get(), 0, SEEK_SET) != 0) {
    error = SystemError(path, errno);
    return false;
  }
  buffer.reset();
  BlockStream blocks(fd.get());
  std::unique_ptr<uint8_t[]> decoded(new uint8_t[kBgzfMaxBlock]);
  BgzfBlock block;
  uint64_t offset = 0;
  while (blocks.Next(block, offset, error)) {
    const int64_t size = InflateBlock(block, decoded.get(), kBgzfMaxBlock, error);
    if (size < 0) {
      error = "the BGZF block at offset " + std::to_string(offset) + ": " + error;
      return false;
    }
    const std::span<const uint8_t> data(decoded.get(), static_cast<size_t>(size));
    if (Crc32(data) != block.crc) {
      error = "the BGZF block at offset " + std::to_string(offset) +
              " does not match its checksum: the file is damaged";
      return false;
    }
    gzi.Add(offset, block.uncompressed);
    if (!fai.Add({reinterpret_cast<const char*>(data.data()), data.size()})) return false;
  }
  if (!error.empty()) return false;
  return fai.Finish();
}

bool BuildGzi(const std::string& path, GziBuilder& gzi, std::string& error) {
  Descriptor fd(OpenForReading(path, error));
  if (fd.get() < 0) return false;
  ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  BlockStream blocks(fd.get());
  BgzfBlock block;
  uint64_t offset = 0;
  while (blocks.Next(block, offset, error)) gzi.Add(offset, block.uncompressed);
  return error.empty();
}

}  // namespace formats
