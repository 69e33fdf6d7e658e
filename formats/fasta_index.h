// The .fai index of FASTA and FASTQ files, as genome tools write and read
// it, and the rules by which they build it.
//
// A .fai has one line per sequence, its fields separated by tabs: the name,
// the number of bases, the offset of the first base in the (uncompressed)
// file, the bases of a full line and the bytes of a full line with its line
// end; for FASTQ a sixth, the offset of the first quality character.  A
// sequence's base i then lies at offset + i / bases * width + i % bases.
//
// FaiBuilder reads a file in pieces of any size and keeps only the entries
// and the line at hand (not even that: a line's counts, however long the
// line), so its memory does not grow with the file beyond the index itself.
// It accepts exactly what the genome tools' indexer accepts and gives the
// same entries, byte for byte once formatted:
//  * The format is told by the first line that holds anything but a line
//    end: '@' starts FASTQ, anything else FASTA.  Before the first header
//    only empty lines may come ("\n" or "\r\n").
//  * A header ('>' or '@' at the start of a line) names its record by its
//    first word: the bytes after the marker up to the first space, tab,
//    line end, vertical tab, form feed or carriage return.
//  * Bases are the printable bytes other than space (0x21-0x7E); a line's
//    width counts every byte of it with its line end ("\n"; a last line
//    without one counts as if it had it).
//  * The first line of a sequence sets its width and bases per line.  A
//    later line as wide is a full line, whatever bases it holds; a
//    narrower one is the last: after it a FASTA record may have only empty
//    lines ("\n", "\r\n") before the next header.  A wider one is an error.
//  * A FASTA record whose first line after the header is empty (or that has
//    no line) has no sequence: it is left out of the index, unless it is the
//    last record of the file, which is an error.
//  * FASTQ: the sequence lines (none may be empty) run to a line starting
//    with '+'; the quality lines follow with the widths of the sequence's,
//    until there are as many quality characters as bases; then only lines
//    of whitespace until the next '@'.
// A name met twice is not the builder's business: it gives every record,
// and the caller keeps the first (the tools' behaviour).
//
// Thread safety: none; one builder belongs to one thread at a time.
#ifndef ALPHABET_FORMATS_FASTA_INDEX_H_
#define ALPHABET_FORMATS_FASTA_INDEX_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace formats {

struct FaiEntry {
  std::string name;
  uint64_t length = 0;
  uint64_t offset = 0;
  uint64_t line_bases = 0;
  uint64_t line_width = 0;
  uint64_t quality_offset = 0;  // FASTQ only
  int64_t line = 0;             // the header's line, when built (not kept in the file)

  // The file offset just past the last base (where the file must reach).
  uint64_t End() const;
};

struct IndexError {
  int64_t line = 0;    // the line where reading could not go on (from 1)
  std::string record;  // the record it was in, if any
  // One line of text starting "line N: ", naming the record where there is
  // one (by its name as the file spells it, which may not be UTF-8).
  std::string message;
};

class FaiBuilder {
 public:
  FaiBuilder() = default;
  FaiBuilder(const FaiBuilder&) = delete;
  FaiBuilder& operator=(const FaiBuilder&) = delete;

  // The next bytes of the file; false once the file is found malformed
  // (error() says where), after which nothing more is read.
  bool Add(std::span<const char> bytes);
  // The file has ended; false when it is malformed.
  bool Finish();

  bool fastq() const { return fastq_; }
  const std::vector<FaiEntry>& entries() const { return entries_; }
  std::vector<FaiEntry>& entries() { return entries_; }
  const IndexError& error() const { return error_; }
  bool failed() const { return failed_; }

 private:
  enum class Stage : uint8_t {
    kBefore,   // before the first header
    kHeader,   // in a header line
    kFirst,    // a header read, no sequence line yet
    kLines,    // in a sequence whose width is set
    kEnded,    // after a sequence's last line (FASTA), or its quality (FASTQ)
    kPlus,     // FASTQ: in the '+' line
    kQuality,  // FASTQ: in the quality
  };

  void Fragment(const char* p, size_t n);
  bool EndLine(bool at_end);
  bool StartLine(char first);
  void CloseRecord();
  bool Fail(int64_t line, const std::string& what);
  std::string Named() const;

  std::vector<FaiEntry> entries_;
  FaiEntry record_;         // the record being read
  bool in_record_ = false;  // record_ holds a header
  bool record_has_lines_ = false;
  Stage stage_ = Stage::kBefore;
  bool fastq_ = false;
  bool format_known_ = false;
  bool name_done_ = false;
  bool sequence_ended_ = false;  // FASTQ: a short sequence line was read
  bool failed_ = false;
  // The line at hand.
  uint64_t line_size_ = 0;   // bytes so far, without the line end
  uint64_t line_graph_ = 0;  // bases so far
  int first_ = -1;           // its first byte, -1 before it
  bool pending_cr_ = false;  // a carriage return ends what was seen of a blank line
  uint64_t quality_ = 0;     // quality characters read
  uint64_t offset_ = 0;      // file offset of the next byte
  int64_t line_ = 1;         // number of the line at hand
  IndexError error_;
};

// The .fai text of `entries` (six fields when `fastq`).
std::string FormatFai(std::span<const FaiEntry> entries, bool fastq);

// The entries of a .fai; false with `error` set (naming the line of the
// .fai) when it is malformed.  `fastq` tells whether it has six fields.
bool ParseFai(std::string_view text, std::vector<FaiEntry>& entries, bool& fastq,
              IndexError& error);

}  // namespace formats

#endif  // ALPHABET_FORMATS_FASTA_INDEX_H_
