#include "formats/fasta_index.h"

#include <charconv>
#include <cstring>

#include "formats/text_bytes.h"

namespace formats {
namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// How a byte shows in a message: itself when printable, else escaped.
std::string Shown(char c) {
  const auto byte = static_cast<unsigned char>(c);
  if (byte >= 0x20 && byte < 0x7f) return std::string(1, c);
  static const char kHex[] = "0123456789abcdef";
  return std::string("\\x") + kHex[byte >> 4] + kHex[byte & 15];
}

void AppendNumber(std::string& out, uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out.append(digits, end);
}

}  // namespace

uint64_t FaiEntry::End() const {
  if (length == 0 || line_bases == 0) return offset;
  const uint64_t last = length - 1;
  return offset + last / line_bases * line_width + last % line_bases + 1;
}

bool FaiBuilder::Add(std::span<const char> bytes) {
  if (failed_) return false;
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
  while (p < end) {
    const auto* newline = static_cast<const char*>(std::memchr(p, '\n', end - p));
    const char* stop = newline != nullptr ? newline : end;
    if (stop > p) {
      Fragment(p, static_cast<size_t>(stop - p));
      if (failed_) return false;
    }
    offset_ += static_cast<uint64_t>(stop - p);
    p = stop;
    if (newline == nullptr) break;
    ++offset_;
    ++p;
    if (!EndLine(/*at_end=*/false)) return false;
  }
  return true;
}

bool FaiBuilder::Finish() {
  if (failed_) return false;
  if (first_ >= 0 && !EndLine(/*at_end=*/true)) return false;
  if (!format_known_) {
    return Fail(line_, "no record: a FASTA file starts with a '>' header, a FASTQ file with '@'");
  }
  if (fastq_) {
    if (stage_ != Stage::kEnded) {
      return Fail(line_, "the input ends inside FASTQ record " + Named());
    }
  } else if (in_record_ && !record_has_lines_) {
    return Fail(record_.line, "the last record, " + Named() + ", has no sequence");
  }
  CloseRecord();
  return true;
}

// The first byte of a line: what kind of line it is.
bool FaiBuilder::StartLine(char first) {
  first_ = static_cast<unsigned char>(first);
  if (!format_known_ && first != '\r') {
    format_known_ = true;
    fastq_ = first == '@';
  }
  // In FASTA a '>' at the start of a line always starts a record; in
  // FASTQ an '@' does only where a record may start (it is also a quality
  // character).
  const bool header =
      fastq_ ? first == '@' && (stage_ == Stage::kBefore || stage_ == Stage::kEnded) : first == '>';
  if (header) {
    CloseRecord();
    record_ = FaiEntry{};
    record_.line = line_;
    in_record_ = true;
    record_has_lines_ = false;
    sequence_ended_ = false;
    name_done_ = false;
    stage_ = Stage::kHeader;
    return true;
  }
  if (fastq_ && (stage_ == Stage::kFirst || stage_ == Stage::kLines)) {
    if (first == '+') {
      stage_ = Stage::kPlus;
    } else if (sequence_ended_) {
      return Fail(line_, "expected the '+' line of FASTQ record " + Named() +
                             " after its last, shorter sequence line, found '" + Shown(first) +
                             "'");
    }
  }
  return true;
}

void FaiBuilder::Fragment(const char* p, size_t n) {
  if (first_ < 0 && !StartLine(*p)) return;
  switch (stage_) {
    case Stage::kHeader: {
      size_t from = line_size_ == 0 ? 1 : 0;  // the marker is no part of the name
      line_size_ += n;
      if (name_done_) return;
      size_t to = from;
      while (to < n && !IsSpace(p[to])) ++to;
      record_.name.append(p + from, to - from);
      name_done_ = to < n;
      return;
    }
    case Stage::kFirst:
    case Stage::kLines:
    case Stage::kQuality:
      line_size_ += n;
      line_graph_ += CountBases(p, n);
      return;
    case Stage::kPlus: line_size_ += n; return;
    case Stage::kBefore:
    case Stage::kEnded:
      for (size_t i = 0; i < n; ++i) {
        const char c = p[i];
        if (fastq_ && stage_ == Stage::kEnded) {
          if (!IsSpace(c)) {
            Fail(line_,
                 "FASTQ record " + Named() +
                     " has more quality characters than bases, or a line that starts no record ('" +
                     Shown(c) + "')");
            return;
          }
          continue;
        }
        if (pending_cr_) {
          Fail(line_, "a carriage return not followed by a line feed");
          return;
        }
        if (c == '\r') {
          pending_cr_ = true;
        } else if (stage_ == Stage::kBefore) {
          Fail(line_, "unexpected '" + Shown(c) + "' before the first header");
          return;
        } else {
          Fail(line_,
               "unexpected '" + Shown(c) + "' in record " + Named() +
                   " after its last sequence line (a shorter or blank line ends a sequence)");
          return;
        }
      }
      line_size_ += n;
      return;
  }
}

bool FaiBuilder::EndLine(bool at_end) {
  const uint64_t width = line_size_ + 1;  // a last line without its line end counts as if it had it
  const bool empty = first_ < 0;
  switch (stage_) {
    case Stage::kBefore:
    case Stage::kEnded:
      if (pending_cr_ && at_end) {
        return Fail(line_, "a carriage return not followed by a line feed");
      }
      break;
    case Stage::kHeader:
      record_.offset = offset_;
      stage_ = Stage::kFirst;
      break;
    case Stage::kFirst:
      if (empty) {
        if (fastq_) {
          return Fail(line_, "FASTQ record " + Named() + " has an empty sequence line");
        }
        stage_ = Stage::kEnded;  // no sequence: the record is left out
        break;
      }
      record_.line_width = width;
      record_.line_bases = line_graph_;
      record_.length += line_graph_;
      record_has_lines_ = true;
      stage_ = Stage::kLines;
      break;
    case Stage::kLines:
      if (empty && fastq_) {
        return Fail(line_, "FASTQ record " + Named() + " has an empty sequence line");
      }
      if (width > record_.line_width) {
        return Fail(line_, "record " + Named() + " has lines of different widths: this one takes " +
                               std::to_string(width) + " bytes with its line end, the first " +
                               std::to_string(record_.line_width) +
                               " (only the last line may be shorter)");
      }
      record_.length += line_graph_;
      if (width < record_.line_width) {
        if (fastq_) {
          sequence_ended_ = true;
        } else {
          stage_ = Stage::kEnded;
        }
      }
      break;
    case Stage::kPlus:
      if (!record_has_lines_) {
        return Fail(line_, "FASTQ record " + Named() + " has no sequence");
      }
      record_.quality_offset = offset_;
      quality_ = 0;
      stage_ = Stage::kQuality;
      break;
    case Stage::kQuality:
      if (empty) {
        return Fail(line_, "FASTQ record " + Named() + " has an empty quality line");
      }
      if (width > record_.line_width) {
        return Fail(line_, "a quality line of FASTQ record " + Named() +
                               " is wider than its sequence lines (" + std::to_string(width) +
                               " bytes with its line end, not " +
                               std::to_string(record_.line_width) + ")");
      }
      quality_ += line_graph_;
      if (quality_ > record_.length) {
        return Fail(line_, "FASTQ record " + Named() + " has " + std::to_string(quality_) +
                               " quality characters for " + std::to_string(record_.length) +
                               " bases");
      }
      if (quality_ == record_.length) {
        stage_ = Stage::kEnded;
      } else if (width < record_.line_width) {
        return Fail(line_, "a quality line of FASTQ record " + Named() +
                               " is narrower than its sequence lines, and the quality is short (" +
                               std::to_string(quality_) + " characters for " +
                               std::to_string(record_.length) + " bases)");
      }
      break;
  }
  if (!at_end) ++line_;
  line_size_ = 0;
  line_graph_ = 0;
  first_ = -1;
  pending_cr_ = false;
  return true;
}

void FaiBuilder::CloseRecord() {
  if (!in_record_) return;
  in_record_ = false;
  // A FASTA record without a sequence line is left out, as the tools do.
  if (record_has_lines_) entries_.push_back(std::move(record_));
}

bool FaiBuilder::Fail(int64_t line, const std::string& what) {
  failed_ = true;
  error_.line = line;
  error_.record = in_record_ ? record_.name : std::string();
  error_.message = "line " + std::to_string(line) + ": " + what;
  return false;
}

std::string FaiBuilder::Named() const { return "'" + record_.name + "'"; }

std::string FormatFai(std::span<const FaiEntry> entries, bool fastq) {
  std::string out;
  for (const FaiEntry& entry : entries) {
    const uint64_t fields[] = {entry.length, entry.offset, entry.line_bases, entry.line_width,
                               entry.quality_offset};
    out += entry.name;
    for (size_t i = 0; i < (fastq ? 5u : 4u); ++i) {
      out += '\t';
      AppendNumber(out, fields[i]);
    }
    out += '\n';
  }
  return out;
}

bool ParseFai(std::string_view text, std::vector<FaiEntry>& entries, bool& fastq,
              IndexError& error) {
  entries.clear();
  int64_t number = 0;
  size_t width = 0;  // fields per line, set by the first
  auto fail = [&](const std::string& what) {
    error.line = number;
    error.message = "line " + std::to_string(number) + " of the index: " + what;
    return false;
  };
  while (!text.empty()) {
    ++number;
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view words[7];
    size_t count = 0;
    for (;;) {
      const size_t tab = line.find('\t');
      if (count == 7) return fail("more than 6 fields");
      words[count++] = line.substr(0, tab);
      if (tab == std::string_view::npos) break;
      line = line.substr(tab + 1);
    }
    if (count != 5 && count != 6) {
      return fail(std::to_string(count) + " fields, not 5 (FASTA) or 6 (FASTQ)");
    }
    if (width != 0 && count != width) {
      return fail(std::to_string(count) + " fields where the first line has " +
                  std::to_string(width));
    }
    width = count;
    FaiEntry entry;
    entry.line = number;
    entry.name.assign(words[0]);
    uint64_t* fields[] = {&entry.length, &entry.offset, &entry.line_bases, &entry.line_width,
                          &entry.quality_offset};
    for (size_t i = 1; i < count; ++i) {
      const std::string_view word = words[i];
      const auto [ptr, ec] =
          std::from_chars(word.data(), word.data() + word.size(), *fields[i - 1]);
      if (word.empty() || ec != std::errc() || ptr != word.data() + word.size()) {
        return fail("field " + std::to_string(i + 1) + " is no number");
      }
    }
    if (entry.line_width < entry.line_bases) {
      return fail("a line width below the bases per line");
    }
    entries.push_back(std::move(entry));
  }
  fastq = width == 6;
  return true;
}

}  // namespace formats
