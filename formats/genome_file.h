// GenomeFile: random access to the sequences of a FASTA or FASTQ file
// through its .fai index, and for a BGZF file its .gzi; and the building of
// those indexes by reading a file through once.
//
// Reads are positional (pread), so one GenomeFile serves any number of
// threads at once: everything const here is safe to call concurrently.  A
// call works in buffers it borrows from the file (two blocks' worth and a
// region's bytes) and gives back; calls can throw std::bad_alloc.
// For BGZF, decoded blocks are kept in a small cache of fixed size (a few
// MiB, whatever the file's size), so that fetches near each other decode a
// block once; a block is decoded only as far as a fetch needs.
//
// How a region is read: its bytes are found by the index's arithmetic (the
// bases of a full line, the bytes of a full line), read in one piece and
// joined without their line ends.  A file whose lines hold bytes other than
// bases (spaces, or a line of the full width with fewer bases, which the
// tools accept) is read as the tools read it then: from the region's first
// byte, taking bases and passing over everything else until there are
// enough.
#ifndef ALPHABET_FORMATS_GENOME_FILE_H_
#define ALPHABET_FORMATS_GENOME_FILE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "formats/bgzf.h"
#include "formats/fasta_index.h"

namespace formats {

class GenomeFile {
 public:
  // Opens the file at `path` with its index.  For a BGZF file `gzi` holds
  // the .gzi's entries; null for a plain file (a gzip file that is not BGZF
  // is refused).  Null with `error` set when the file cannot be opened or
  // read.
  static std::unique_ptr<GenomeFile> Open(const std::string& path, std::vector<FaiEntry> entries,
                                          bool fastq, const std::vector<GziEntry>* gzi,
                                          std::string& error);
  ~GenomeFile();
  GenomeFile(const GenomeFile&) = delete;
  GenomeFile& operator=(const GenomeFile&) = delete;

  size_t size() const { return entries_.size(); }
  const FaiEntry& entry(size_t i) const { return entries_[i]; }
  bool fastq() const { return fastq_; }
  bool bgzf() const { return bgzf_; }
  // Bytes of the data (uncompressed, for BGZF).
  uint64_t data_size() const { return data_size_; }

  // Whether every sequence of the index lies within the data; when not, the
  // index is not the file's (the file changed after it was built).
  bool Fits() const;

  // The bases [begin, end) of sequence `i` (begin <= end <= its length)
  // into `out`, which has room for end - begin bytes; the count written
  // (fewer only when the data ends early), or -1 with `error` set.
  int64_t Fetch(size_t i, uint64_t begin, uint64_t end, char* out, std::string& error) const;

  // The quality of FASTQ sequence `i`, as Fetch gives its bases.
  int64_t FetchQuality(size_t i, char* out, std::string& error) const;

  // The header line of sequence `i`, without its marker and line end;
  // false with `error` set.
  bool Header(size_t i, std::string& header, std::string& error) const;

  // Up to `size` bytes of the data at `offset` into `out`; the count read
  // (fewer at the end of the data), or -1 with `error` set.
  int64_t Read(uint64_t offset, size_t size, char* out, std::string& error) const;

 private:
  struct Scratch;
  // A Scratch lent for one call, from the spares (or new), and given back.
  class Lease {
   public:
    explicit Lease(const GenomeFile& file);
    ~Lease();
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Scratch& operator*() const { return *scratch_; }

   private:
    const GenomeFile& file_;
    std::unique_ptr<Scratch> scratch_;
  };

  GenomeFile(int fd, std::vector<FaiEntry> entries, bool fastq);

  int64_t FetchFrom(Scratch& scratch, const FaiEntry& entry, uint64_t start, uint64_t begin,
                    uint64_t end, char* out, std::string& error) const;
  int64_t Collect(Scratch& scratch, uint64_t from, uint64_t skip, uint64_t count, char* out,
                  std::string& error) const;
  int64_t ReadWith(Scratch& scratch, uint64_t offset, size_t size, char* out,
                   std::string& error) const;
  int64_t ReadBgzf(Scratch& scratch, uint64_t offset, size_t size, char* out,
                   std::string& error) const;
  // Copies up to `size` bytes from `offset` within the block at file offset
  // `compressed` (read with `read_size` bytes first) into `out`, decoding it
  // as far as needed; the count copied, or -1 with `error` set.  `on_file`
  // and `holds` receive the block's sizes, on_file 0 at the end of the file.
  int64_t FromBlock(Scratch& scratch, uint64_t compressed, size_t read_size, uint64_t offset,
                    size_t size, char* out, uint64_t& on_file, uint32_t& holds,
                    std::string& error) const;
  bool MeasureBgzf(std::string& error);

  struct CachedBlock {
    uint64_t compressed = UINT64_MAX;  // the block's file offset; UINT64_MAX for none
    uint64_t size = 0;                 // its bytes on file
    uint32_t decoded = 0;              // bytes of data decoded from its start
    uint32_t uncompressed = 0;         // bytes it holds
    uint64_t used = 0;                 // when last used, for eviction
    std::unique_ptr<uint8_t[]> data;
  };

  int fd_;
  std::vector<FaiEntry> entries_;
  bool fastq_;
  bool bgzf_ = false;
  uint64_t data_size_ = 0;
  std::vector<GziEntry> blocks_;  // where blocks start, (0, 0) first
  mutable std::mutex cache_mutex_;
  mutable std::vector<CachedBlock> cache_;
  mutable uint64_t clock_ = 0;
  // Buffers of calls that have ended, for the next ones (one set per call
  // running at once, at most).
  mutable std::mutex spare_mutex_;
  mutable std::vector<std::unique_ptr<Scratch>> spare_;
};

// Reads the file at `path` through once and builds its .fai entries into
// `fai`, and for a BGZF file its .gzi into `gzi`; false with `error` set
// (the file's own faults are in fai.error()).
bool BuildIndex(const std::string& path, FaiBuilder& fai, GziBuilder& gzi, bool& bgzf,
                std::string& error);

// Builds the .gzi of the BGZF file at `path` from its block headers, without
// decoding them; false with `error` set.
bool BuildGzi(const std::string& path, GziBuilder& gzi, std::string& error);

}  // namespace formats

#endif  // ALPHABET_FORMATS_GENOME_FILE_H_
