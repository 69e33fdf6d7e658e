#include "formats/fastx_parser.h"

#include <algorithm>
#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "formats/utf8.h"

namespace formats {
namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Header text quoted in a message is cut after this many bytes.
constexpr size_t kQuotedBytes = 40;

// A function object, which the searches below inline (a function pointer
// they call per byte).
constexpr auto IsSpace = [](char c) {
  return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r';
};

bool IsBlank(std::string_view line) {
  return std::all_of(line.begin(), line.end(),
                     [](char c) { return c == ' ' || c == '\t' || c == '\r'; });
}

// `text` (valid UTF-8) in single quotes, with quotes, backslashes and control
// characters escaped, cut after kQuotedBytes at a character boundary.
std::string Quote(std::string_view text) {
  size_t keep = text.size();
  if (keep > kQuotedBytes) {
    keep = kQuotedBytes;
    while (keep > 0 && (static_cast<unsigned char>(text[keep]) & 0xC0) == 0x80) --keep;
  }
  std::string out = "'";
  for (const char c : text.substr(0, keep)) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\'' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '\'';
  if (keep < text.size()) out += "...";
  return out;
}

std::string LinePrefix(int64_t line) { return "line " + std::to_string(line) + ": "; }

}  // namespace

FieldPlace PlaceInField(std::span<const LineRun> runs, size_t offset) {
  // The last run that starts at or before the offset holds it; an offset at
  // the very end belongs to the end of the last line.
  const auto after =
      std::upper_bound(runs.begin(), runs.end(), offset,
                       [](size_t at, const LineRun& run) { return at < run.offset; });
  if (after == runs.begin()) return {};
  const LineRun& run = *(after - 1);
  const size_t into = offset - run.offset;
  const auto lines = static_cast<size_t>(run.count);
  const size_t index = run.width == 0 ? 0 : std::min(into / run.width, lines - 1);
  return {run.line + static_cast<int64_t>(index), into - index * run.width};
}

FastxParser::FastxParser() = default;

std::span<char> FastxParser::Reserve(size_t size) {
  Settle();
  const size_t live = end_ - begin_;
  if (capacity_ - end_ < size) {
    if (begin_ > 0 && live + size <= capacity_) {
      std::memmove(buffer_.get(), buffer_.get() + begin_, live);
    } else {
      const size_t capacity = std::max(live + size, 2 * capacity_);
      // From malloc, whose failure is a value (operator new may end the
      // process under a sanitizer for a size beyond its limit, however
      // absurd the size a caller asked for).
      std::unique_ptr<char[], FreeBuffer> grown(static_cast<char*>(std::malloc(capacity)));
      if (grown == nullptr) throw std::bad_alloc();
      if (live > 0) std::memcpy(grown.get(), buffer_.get() + begin_, live);
      buffer_ = std::move(grown);
      capacity_ = capacity;
    }
    begin_ = 0;
    end_ = live;
  }
  reserved_ = capacity_ - end_;
  return {buffer_.get() + end_, reserved_};
}

bool FastxParser::TryReserve(size_t size) {
  if (capacity_ - end_ >= size) return true;
  if (size > SIZE_MAX / 2 - (end_ - begin_)) return false;
  std::unique_ptr<char[], FreeBuffer> grown(static_cast<char*>(std::malloc(end_ - begin_ + size)));
  if (grown == nullptr) return false;
  const size_t live = end_ - begin_;
  if (live > 0) std::memcpy(grown.get(), buffer_.get() + begin_, live);
  buffer_ = std::move(grown);
  capacity_ = live + size;
  begin_ = 0;
  end_ = live;
  return true;
}

void FastxParser::Commit(size_t size) {
  assert(size <= reserved_);
  end_ += std::min(size, reserved_);
  reserved_ = 0;
}

void FastxParser::Append(std::string_view bytes) {
  if (bytes.empty()) return;
  std::span<char> room = Reserve(bytes.size());
  std::memcpy(room.data(), bytes.data(), bytes.size());
  Commit(bytes.size());
}

void FastxParser::Finish() { finished_ = true; }

size_t FastxParser::HeldBytes() const {
  return capacity_ + arena_.capacity() + pending_.carried_header.capacity() +
         pending_.carried_sequence.capacity() + pending_.carried_quality.capacity();
}

// The last batch has been taken: its records and the arena go, and the
// record being assembled moves out of the buffer into its own strings, so
// that the buffer can be compacted.
void FastxParser::Settle() {
  batch_.clear();
  done_records_.clear();
  runs_.clear();
  if (carry_handed_) {
    pending_.carried_header.clear();
    pending_.carried_sequence.clear();
    pending_.carried_quality.clear();
    carry_handed_ = false;
  }
  if (!carrying_ && (stage_ == Stage::kSequence || stage_ == Stage::kQuality)) {
    auto carry = [this](Piece& piece, std::string& carried) {
      carried.assign(View(piece, carried));
      piece.where = Piece::kCarry;
    };
    carry(pending_.header, pending_.carried_header);
    carry(pending_.sequence, pending_.carried_sequence);
    carry(pending_.quality, pending_.carried_quality);
    carrying_ = true;
  }
  arena_.clear();
}

std::string_view FastxParser::View(const Piece& piece, const std::string& carried) const {
  switch (piece.where) {
    case Piece::kNone: return {};
    case Piece::kBuffer: return {buffer_.get() + piece.offset, piece.size};
    case Piece::kArena: return {arena_.data() + piece.offset, piece.size};
    case Piece::kCarry: return carried;
  }
  return {};
}

// The common FASTQ record, four whole lines of ASCII (header, a sequence
// that is no blank line, '+', a quality as long), taken in one step: what
// ParseLine would make of its lines, without looking at each line four
// times.  Anything else is left to ParseLine.
bool FastxParser::TakeFastqRecord() {
  const char* const base = buffer_.get();
  const char* const end = base + end_;
  const char* lines[5];
  lines[0] = base + begin_;
  if (lines[0] == end || *lines[0] != '@') return false;
  for (int i = 0; i < 4; ++i) {
    const void* found = std::memchr(lines[i], '\n', static_cast<size_t>(end - lines[i]));
    if (found == nullptr) return false;
    lines[i + 1] = static_cast<const char*>(found) + 1;
  }
  // A line's length without its line end (and carriage return).
  auto length = [&](int i) {
    size_t n = static_cast<size_t>(lines[i + 1] - 1 - lines[i]);
    if (n > 0 && lines[i][n - 1] == '\r') --n;
    return n;
  };
  const size_t header = length(0), sequence = length(1), plus = length(2), quality = length(3);
  if (sequence == 0 || sequence != quality || plus == 0 || *lines[2] != '+') return false;
  const char first = *lines[1];
  if (first == '@' || first == '+' || IsBlank({lines[1], sequence}) ||
      IsBlank({lines[3], quality})) {
    return false;
  }
  if (!IsAscii({lines[0], static_cast<size_t>(lines[4] - lines[0])})) return false;
  const auto at = [&](int i) { return static_cast<size_t>(lines[i] - base); };
  const int64_t header_line = line_ + 1;
  const size_t runs_begin = runs_.size();
  // Its lines' runs are made when the record is resolved (Parse).
  done_records_.push_back({{Piece::kBuffer, at(0) + 1, header - 1},
                           {Piece::kBuffer, at(1), sequence},
                           {Piece::kBuffer, at(3), quality},
                           runs_begin,
                           0,
                           0,
                           header_line,
                           true,
                           false});
  line_ += 4;
  begin_ = at(4);
  scanned_ = 0;
  return true;
}

bool FastxParser::TakeLine(std::string_view& line) {
  const size_t available = end_ - begin_;
  if (available == 0) return false;
  const char* start = buffer_.get() + begin_;
  const void* found = std::memchr(start + scanned_, '\n', available - scanned_);
  size_t length, taken;
  if (found != nullptr) {
    length = static_cast<size_t>(static_cast<const char*>(found) - start);
    taken = length + 1;
  } else if (finished_) {
    length = taken = available;
  } else {
    scanned_ = available;
    return false;
  }
  if (length > 0 && start[length - 1] == '\r') --length;
  line = {start, length};
  begin_ += taken;
  scanned_ = 0;
  ++line_;
  return true;
}

// A line where a header must start is judged by its first bytes once more
// than the quoted part of a message has come: a stream with no line end
// (NUL bytes, a binary file) is refused at once instead of being buffered
// to its end.  The message is the one the whole line would get.
bool FastxParser::RefuseEndlessLine() {
  if (stage_ != Stage::kStart && stage_ != Stage::kBetween) return true;
  const std::string_view partial(buffer_.get() + begin_, end_ - begin_);
  // A line of more than the quoted bytes and a carriage return is quoted cut
  // short whether it has ended or not.
  if (partial.size() <= kQuotedBytes + 2) return true;
  const std::string_view text = WithoutByteOrderMark(partial, line_ + 1);
  if (CanStartHeader(text)) return true;
  return Fail(ErrorKind::kNoHeader, line_ + 1, NoHeader(text));
}

// Whether `line` (without the first line's byte-order mark), where a header
// must start (stage kStart or kBetween), may be one: blank, or starting
// with the header's character.  Any other stage takes any line.
bool FastxParser::CanStartHeader(std::string_view line) const {
  if (stage_ != Stage::kStart && stage_ != Stage::kBetween) return true;
  if (IsBlank(line)) return true;
  return line.front() == '@' || (stage_ == Stage::kStart && line.front() == '>');
}

std::string_view FastxParser::WithoutByteOrderMark(std::string_view line, int64_t number) {
  if (number == 1 && line.starts_with(kByteOrderMark)) line.remove_prefix(kByteOrderMark.size());
  return line;
}

// The message for a line that cannot start a header: it quotes the line's
// first bytes up to any that are not UTF-8, the same whether the whole
// line or only its start has come.
std::string FastxParser::NoHeader(std::string_view line) const {
  const std::string_view head = line.substr(0, kQuotedBytes + 1);
  const std::string_view valid = head.substr(0, FirstInvalidUtf8(head));
  std::string found = Quote(valid);
  if (valid.size() < line.size() && !found.ends_with("...")) found += "...";
  if (stage_ == Stage::kBetween) {
    return "expected a FASTQ header line starting with '@', found " + found;
  }
  return "expected a header line starting with '>' (FASTA) or '@' (FASTQ), found " + found;
}

void FastxParser::Break(std::string_view cause) {
  broken_ = true;
  cause_.assign(cause);
}

bool FastxParser::Fail(ErrorKind kind, int64_t line, std::string message) {
  error_ = {kind, line, LinePrefix(line) + message};
  done_ = true;
  stage_ = Stage::kEnded;
  return false;
}

// The quoted id of the record being assembled.
std::string FastxParser::Named() const {
  const std::string_view header = View(pending_.header, pending_.carried_header);
  const auto space = std::find_if(header.begin(), header.end(), IsSpace);
  return Quote(header.substr(0, static_cast<size_t>(space - header.begin())));
}

void FastxParser::StartRecord(std::string_view line, size_t offset, bool ascii) {
  // The carried strings may still hold a record of the batch; they are only
  // cleared when the batch is taken.
  pending_.header = {Piece::kBuffer, offset + 1, line.size() - 1};
  pending_.sequence = pending_.quality = {};
  pending_.sequence_runs.clear();
  pending_.quality_runs.clear();
  pending_.sequence_chars = pending_.quality_chars = 0;
  pending_.line = line_;
  pending_.last_quality_line = 0;
  pending_.ascii = ascii;
  stage_ = Stage::kSequence;
}

void FastxParser::AddRun(std::vector<LineRun>& runs, size_t offset, size_t width, int64_t line) {
  if (!runs.empty()) {
    LineRun& last = runs.back();
    if (last.width == width && last.line + last.count == line) {
      ++last.count;
      return;
    }
  }
  runs.push_back({offset, width, line, 1});
}

void FastxParser::AddTo(Piece& piece, std::string& carried, std::vector<LineRun>& runs,
                        std::string_view line, size_t offset) {
  AddRun(runs, piece.size, line.size(), line_);
  if (carrying_) {
    carried.append(line);
    piece.where = Piece::kCarry;
  } else if (piece.where == Piece::kNone) {
    piece = {Piece::kBuffer, offset, 0};
  } else if (piece.where == Piece::kBuffer) {
    // A second line: the field is joined in the arena from now on.  Only the
    // field that is growing lies at the arena's end, so appending keeps it
    // contiguous.
    const size_t joined = arena_.size();
    arena_.append(buffer_.get() + piece.offset, piece.size);
    arena_.append(line);
    piece = {Piece::kArena, joined, piece.size};
  } else {
    assert(piece.where == Piece::kArena && piece.offset + piece.size == arena_.size());
    arena_.append(line);
  }
  piece.size += line.size();
}

void FastxParser::Complete() {
  const size_t runs_begin = runs_.size();
  runs_.insert(runs_.end(), pending_.sequence_runs.begin(), pending_.sequence_runs.end());
  runs_.insert(runs_.end(), pending_.quality_runs.begin(), pending_.quality_runs.end());
  done_records_.push_back({pending_.header, pending_.sequence, pending_.quality, runs_begin,
                           pending_.sequence_runs.size(), pending_.quality_runs.size(),
                           pending_.line, pending_.ascii, carrying_});
  if (carrying_) {
    carrying_ = false;
    carry_handed_ = true;
  }
  stage_ = format_ == Format::kFastq ? Stage::kBetween : Stage::kStart;
}

bool FastxParser::ParseLine(std::string_view line, size_t offset) {
  bool ascii = IsAscii(line);
  if (!ascii) {
    const size_t invalid = FirstInvalidUtf8(line);
    // Where a header must start, a line that cannot start one is that fault
    // whatever its bytes, as RefuseEndlessLine finds from its first bytes.
    const std::string_view text = WithoutByteOrderMark(line, line_);
    if (invalid < line.size() && !CanStartHeader(text)) {
      return Fail(ErrorKind::kNoHeader, line_, NoHeader(text));
    }
    if (invalid < line.size()) {
      // A header ends the FASTA record before it, whatever follows on its line.
      if (stage_ == Stage::kSequence && format_ == Format::kFasta && line.front() == '>') {
        Complete();
      }
      char detail[64];
      std::snprintf(detail, sizeof detail, "not UTF-8: byte 0x%02x at column %zu",
                    static_cast<unsigned char>(line[invalid]), invalid + 1);
      return Fail(ErrorKind::kInvalidUtf8, line_, detail);
    }
    if (line_ == 1 && line.starts_with(kByteOrderMark)) {
      line.remove_prefix(kByteOrderMark.size());
      offset += kByteOrderMark.size();
      ascii = IsAscii(line);
    }
  }
  const bool blank = IsBlank(line);
  const char first = line.empty() ? '\0' : line.front();
  switch (stage_) {
    case Stage::kStart:
      if (blank) return true;
      if (format_ == Format::kUnknown) {
        if (first == '>') format_ = Format::kFasta;
        if (first == '@') format_ = Format::kFastq;
      }
      if (format_ == Format::kUnknown) {
        return Fail(ErrorKind::kNoHeader, line_, NoHeader(line));
      }
      // A FASTA record ends only where the next one starts, so after the
      // first one this stage is not reached again in FASTA.
      StartRecord(line, offset, ascii);
      return true;
    case Stage::kBetween:
      if (blank) return true;
      if (first != '@') return Fail(ErrorKind::kNoHeader, line_, NoHeader(line));
      StartRecord(line, offset, ascii);
      return true;
    case Stage::kSequence:
      if (format_ == Format::kFasta) {
        if (first == '>') {
          Complete();
          StartRecord(line, offset, ascii);
          return true;
        }
        if (blank) return true;
        AddTo(pending_.sequence, pending_.carried_sequence, pending_.sequence_runs, line, offset);
        pending_.ascii = pending_.ascii && ascii;
        return true;
      }
      if (first == '+') {
        stage_ = Stage::kQuality;
        if (pending_.sequence_chars == 0) Complete();
        return true;
      }
      if (first == '@') {
        return Fail(ErrorKind::kMissingPlus, line_,
                    "expected the '+' line of FASTQ record " + Named() + ", found " + Quote(line));
      }
      if (blank) return true;
      AddTo(pending_.sequence, pending_.carried_sequence, pending_.sequence_runs, line, offset);
      pending_.sequence_chars += ascii ? line.size() : CountCharacters(line);
      pending_.ascii = pending_.ascii && ascii;
      return true;
    case Stage::kQuality: {
      if (blank) return true;
      const size_t chars = ascii ? line.size() : CountCharacters(line);
      const size_t total = pending_.quality_chars + chars;
      if (total > pending_.sequence_chars) {
        // A quality that is too short runs into the next record's header:
        // the last quality line is the one at fault.
        const bool short_before_header = first == '@' && pending_.quality_chars > 0;
        const size_t found = short_before_header ? pending_.quality_chars : total;
        return Fail(ErrorKind::kQualityLength,
                    short_before_header ? pending_.last_quality_line : line_,
                    "the quality of FASTQ record " + Named() + " has " + std::to_string(found) +
                        " characters, its sequence " + std::to_string(pending_.sequence_chars));
      }
      AddTo(pending_.quality, pending_.carried_quality, pending_.quality_runs, line, offset);
      pending_.quality_chars = total;
      pending_.last_quality_line = line_;
      pending_.ascii = pending_.ascii && ascii;
      if (total == pending_.sequence_chars) Complete();
      return true;
    }
    case Stage::kEnded: return false;
  }
  return false;
}

bool FastxParser::FinishInput() {
  done_ = true;
  if (stage_ == Stage::kSequence && format_ == Format::kFasta) {
    Complete();
  } else if (stage_ == Stage::kSequence) {
    return Fail(ErrorKind::kTruncated, pending_.line,
                "FASTQ record " + Named() + " is cut short: the input ends before its '+' line");
  } else if (stage_ == Stage::kQuality && pending_.quality_chars == 0) {
    return Fail(ErrorKind::kTruncated, pending_.line,
                "FASTQ record " + Named() + " is cut short: the input ends before its quality");
  } else if (stage_ == Stage::kQuality) {
    return Fail(ErrorKind::kQualityLength, pending_.last_quality_line,
                "the quality of FASTQ record " + Named() + " has " +
                    std::to_string(pending_.quality_chars) + " characters, its sequence " +
                    std::to_string(pending_.sequence_chars));
  }
  stage_ = Stage::kEnded;
  return true;
}

bool FastxParser::Parse() {
  Settle();
  bool ok = error_.kind == ErrorKind::kNone;
  if (ok && !done_) {
    std::string_view line;
    for (;;) {
      if (stage_ == Stage::kBetween && TakeFastqRecord()) continue;
      if (!TakeLine(line)) break;
      ok = ParseLine(line, static_cast<size_t>(line.data() - buffer_.get()));
      if (!ok) break;
    }
    if (ok && broken_) {
      // Whatever was being read when the source failed is cut short.
      std::string message = cause_;
      if (stage_ == Stage::kSequence || stage_ == Stage::kQuality) {
        message += " (in record " + Named() + ")";
      }
      ok = Fail(ErrorKind::kBrokenInput, line_ + 1, std::move(message));
    } else if (ok && finished_) {
      ok = FinishInput();
    } else if (ok) {
      ok = RefuseEndlessLine();
    }
  }
  batch_.reserve(done_records_.size());
  for (const Done& done : done_records_) {
    const Pending& carried = pending_;
    auto view = [&](const Piece& piece, const std::string& strings) {
      return done.from_carry ? std::string_view(strings) : View(piece, strings);
    };
    const std::string_view header = view(done.header, carried.carried_header);
    const auto space = std::find_if(header.begin(), header.end(), IsSpace);
    const auto rest = std::find_if_not(space, header.end(), IsSpace);
    Record record;
    record.id = header.substr(0, static_cast<size_t>(space - header.begin()));
    record.description = header.substr(static_cast<size_t>(rest - header.begin()));
    record.sequence = view(done.sequence, carried.carried_sequence);
    record.quality = view(done.quality, carried.carried_quality);
    record.line = done.line;
    record.ascii = done.ascii;
    if (done.sequence_runs == 0 && !record.quality.empty()) {
      // A record of four lines (TakeFastqRecord): its runs are its own.
      batch_.push_back(record);
      Record& own = batch_.back();
      own.lines[0] = {0, record.sequence.size(), done.line + 1, 1};
      own.lines[1] = {0, record.quality.size(), done.line + 3, 1};
      own.sequence_lines = {own.lines, 1};
      own.quality_lines = {own.lines + 1, 1};
      continue;
    }
    const std::span<const LineRun> runs(runs_);
    record.sequence_lines = runs.subspan(done.runs_begin, done.sequence_runs);
    record.quality_lines = runs.subspan(done.runs_begin + done.sequence_runs, done.quality_runs);
    batch_.push_back(record);
  }
  return ok;
}

}  // namespace formats
