// FastxParser: a streaming parser of FASTA and FASTQ, fed bytes in pieces of
// any size.
//
// The caller appends input as it arrives (Append, or Reserve and Commit to
// read straight into the parser's buffer), calls Parse to take every record
// that the input so far completes, as one batch, and Finish when the input
// has ended.  The parser keeps only the input not yet parsed and the record
// being assembled, so its memory is bounded by the longest record (plus one
// piece of input), whatever the size of the input.
//
// What it reads:
//  * The format is told by the first line that is not blank: '>' starts a
//    FASTA record, '@' a FASTQ record.  A UTF-8 byte-order mark before it is
//    skipped.
//  * Lines end with "\n" or "\r\n"; the last line may have no line end.
//  * A header is the text after '>' or '@'.  The record's id is its first
//    word (up to the first space, tab, vertical tab, form feed or carriage
//    return), its description the rest after the first run of those ("" if
//    none).
//  * FASTA: the lines up to the next '>' line, joined without their line
//    ends, are the sequence; there may be none (an empty record).
//  * FASTQ: the sequence lines run up to a line starting with '+' (whose text
//    is not looked at), then quality lines are taken until the quality is as
//    long as the sequence.  Both may span several lines.
//  * Blank lines (empty, or only spaces, tabs and carriage returns) are
//    skipped wherever they are, and add nothing to a sequence or quality.
//  * Every line must be UTF-8 (see utf8.h).
//
// What it refuses, with the number of the line where reading cannot go on
// (lines count from 1, blank ones included): input that does not start with
// a header; a FASTQ record that does not start with '@'; a FASTQ sequence
// that runs into a line starting with '@' (the next record) before its '+'
// line; input that ends inside a FASTQ record; a quality longer or shorter
// than its sequence; a line that is not UTF-8.  A quality that is too short
// shows when the next record's header would overrun it: the error then
// names the last quality line.  A line where a header must start is refused
// as soon as more than 40 of its bytes have come without one (the bytes of
// /dev/zero are never buffered without bound waiting for a line end).  After
// an error nothing more is parsed.
//
// Each record carries where its sequence and quality lines lie (LineRun),
// so that a fault found later in a field's text (a symbol an alphabet
// refuses) can be named by its line and column.
//
// Thread safety: none; one parser belongs to one thread at a time.
#ifndef ALPHABET_FORMATS_FASTX_PARSER_H_
#define ALPHABET_FORMATS_FASTX_PARSER_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace formats {

enum class Format : uint8_t { kUnknown, kFasta, kFastq };

enum class ErrorKind : uint8_t {
  kNone,
  kNoHeader,       // a record that does not start with '>' or '@' ('@' in FASTQ)
  kMissingPlus,    // a FASTQ sequence runs into the next record
  kTruncated,      // the input ends inside a FASTQ record
  kQualityLength,  // a FASTQ quality longer or shorter than its sequence
  kInvalidUtf8,    // a line that is not UTF-8
  kBrokenInput,    // the source of the input failed partway (Break)
};

struct ParseError {
  ErrorKind kind = ErrorKind::kNone;
  int64_t line = 0;
  // One line of text, starting "line N: ", naming the record where there is
  // one; valid UTF-8.
  std::string message;
};

// Consecutive lines of one field of a record, each `width` bytes long: the
// first starts at byte `offset` of the joined field and is line `line` of
// the input.  A field's runs cover it in order.  Made whole where it is
// made (no member defaults: a record's own runs are left unset, not
// cleared, for the records that do not use them).
struct LineRun {
  size_t offset;
  size_t width;
  int64_t line;
  int64_t count;
};

// Where byte `offset` of a field lies: its line, and its byte in that line
// (counted from 0).
struct FieldPlace {
  int64_t line = 0;
  size_t byte = 0;
};
FieldPlace PlaceInField(std::span<const LineRun> runs, size_t offset);

// One parsed record.  The views stay valid until the parser's next Reserve,
// Append or Parse.
struct Record {
  std::string_view id;
  std::string_view description;
  std::string_view sequence;
  std::string_view quality;  // FASTQ only
  int64_t line = 0;          // the header's line
  bool ascii = true;         // every byte of id, description, sequence and quality < 0x80
  std::span<const LineRun> sequence_lines;
  std::span<const LineRun> quality_lines;
  // Where the spans above point for a record of four lines.
  LineRun lines[2];
};

class FastxParser {
 public:
  FastxParser();
  FastxParser(const FastxParser&) = delete;
  FastxParser& operator=(const FastxParser&) = delete;

  // At least `size` writable bytes at the end of the input, for a read to
  // fill; Commit(n) then adds the first n of them to the input.  Ends the
  // views of the last batch.
  std::span<char> Reserve(size_t size);
  void Commit(size_t size);

  // Room for `size` bytes of input ahead, made now: false, and nothing
  // changed, when there is no memory for it.  Never throws, so that a
  // caller can refuse an absurd size before reading starts.
  bool TryReserve(size_t size);

  // Adds `bytes` to the input (Reserve, copy, Commit).
  void Append(std::string_view bytes);

  // There will be no more input: the last line and record are complete.
  void Finish();

  // The source failed and no more input will come: the input ends with a
  // kBrokenInput error at the line that was being read, `cause` saying why
  // (one line of valid UTF-8), and naming the record that was cut short.
  // The records that Parse completed before stay as they were.
  void Break(std::string_view cause);

  // The number of the line that input would go on with: the lines taken so
  // far, plus one.
  int64_t next_line() const { return line_ + 1; }

  // Parses the input given so far.  The records it completes are records(),
  // in order, until the next Reserve, Append or Parse.  False after an error
  // (error() tells which); the records before it are still in records().
  bool Parse();

  std::span<const Record> records() const { return batch_; }
  const ParseError& error() const { return error_; }
  Format format() const { return format_; }

  // Finish was called and every record has been parsed (or an error ended
  // the input).
  bool done() const { return done_; }

  // Bytes of memory the parser holds for input and records (capacities).
  size_t HeldBytes() const;

 private:
  // Where one field of the record being assembled lies.
  struct Piece {
    enum Where : uint8_t { kNone, kBuffer, kArena, kCarry };
    Where where = kNone;
    size_t offset = 0;  // in buffer_ or arena_; unused for kCarry
    size_t size = 0;
  };
  // The record being assembled.
  struct Pending {
    Piece header, sequence, quality;
    std::vector<LineRun> sequence_runs, quality_runs;
    std::string carried_header, carried_sequence, carried_quality;
    size_t sequence_chars = 0, quality_chars = 0;
    int64_t line = 0;
    int64_t last_quality_line = 0;
    bool ascii = true;
  };
  // A complete record of the batch, resolved into a Record at the end of
  // Parse (the arena may move until then).
  struct Done {
    Piece header, sequence, quality;
    size_t runs_begin, sequence_runs, quality_runs;  // in runs_
    int64_t line;
    bool ascii;
    bool from_carry;
  };
  enum class Stage : uint8_t { kStart, kBetween, kSequence, kQuality, kEnded };

  void Settle();
  bool TakeFastqRecord();
  bool TakeLine(std::string_view& line);
  bool RefuseEndlessLine();
  bool ParseLine(std::string_view line, size_t offset);
  void StartRecord(std::string_view line, size_t offset, bool ascii);
  void AddTo(Piece& piece, std::string& carried, std::vector<LineRun>& runs, std::string_view line,
             size_t offset);
  static void AddRun(std::vector<LineRun>& runs, size_t offset, size_t width, int64_t line);
  void Complete();
  bool FinishInput();
  std::string_view View(const Piece& piece, const std::string& carried) const;
  bool Fail(ErrorKind kind, int64_t line, std::string message);
  std::string Named() const;
  std::string NoHeader(std::string_view line) const;
  bool CanStartHeader(std::string_view line) const;
  static std::string_view WithoutByteOrderMark(std::string_view line, int64_t number);

  struct FreeBuffer {
    void operator()(char* data) const { std::free(data); }
  };
  std::unique_ptr<char[], FreeBuffer> buffer_;
  size_t capacity_ = 0;
  size_t begin_ = 0;     // first byte not yet parsed
  size_t end_ = 0;       // end of the input in buffer_
  size_t scanned_ = 0;   // bytes from begin_ known to hold no line end
  size_t reserved_ = 0;  // size of the last Reserve not yet committed
  std::string arena_;    // joined lines of the records of this batch
  std::vector<Done> done_records_;
  std::vector<LineRun> runs_;  // the line runs of done_records_
  std::vector<Record> batch_;
  Pending pending_;
  bool carrying_ = false;      // pending_ lies in its carried strings
  bool carry_handed_ = false;  // the carried strings belong to a record of the batch
  int64_t line_ = 0;           // lines taken so far
  Format format_ = Format::kUnknown;
  Stage stage_ = Stage::kStart;
  bool finished_ = false;
  bool broken_ = false;
  std::string cause_;  // why the source broke
  bool done_ = false;
  ParseError error_;
};

}  // namespace formats

#endif  // ALPHABET_FORMATS_FASTX_PARSER_H_
