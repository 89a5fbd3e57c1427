// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// qemu-user's log of system calls, as `qemu-x86_64 -strace -D FILE` writes
// it: "PID name(args) = result", strings decoded and buffers as addresses,
// errors as "-1 errno=9 (Bad file descriptor)"; exit_group shows no result.
// What the program writes goes into the log where the log is its standard
// output, as when that was closed before qemu opened the log.
// qemu writes a line in pieces: "PID name(" and its arguments (qemu 10: one
// piece each), " = ", and the result with its line feed. Two processes' pieces
// interleave anywhere between pieces: "1281 write(1,0x2010,6)1284 getppid()"
// or " = 1281 getppid()0". A forked child's half of clone is " = " and "0"
// with no head. Only the heads say whose they are, so the rest goes to the
// process whose line can take it: arguments to a line whose arguments are
// open, a result to a line that waits for one, where the result can be that
// call's, first come first served.
#include <cstdlib>
#include <deque>
#include <map>
#include <set>
#include <string>

#include "calls.h"
#include "report.h"

namespace probes {
namespace {

bool digit(char c) {
  return c >= '0' && c <= '9';
}
bool word_start(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool word_char(char c) {
  return word_start(c) || digit(c);
}

// Whether a piece that a process writes begins at text[i]: "PID name(" or
// "PID Unknown ...", after something that is no part of a word.
bool head_at(std::string_view text, std::size_t i) {
  if (i > 0 && word_char(text[i - 1])) return false;
  std::size_t k = i;
  while (k < text.size() && digit(text[k]) && k - i < 10) ++k;
  if (k == i || k + 1 >= text.size() || text[k] != ' ' ||
      !word_start(text[k + 1]))
    return false;
  k += 1;
  while (k < text.size() && word_char(text[k])) ++k;
  return k < text.size() && (text[k] == '(' || text[k] == ' ');
}

// A line of one process, as its pieces come.
struct Line {
  std::string text;  // "name(args" ... " = result"
  int depth = 0;     // brackets open in the arguments
  bool closed = false;
  bool has_result = false;
  bool done = false;  // a result, or a call that does not return
  std::string name;
  long long count = -1;  // write's or read's byte count, where known
};

struct Writer {
  long pid;
  std::vector<Line> lines;
};

// A result that the line's call can have; the child's half of clone (no
// line) is 0.
bool fits(const Line *line, std::string_view result) {
  // qemu's results are numbers, in decimal or hex, or -1 and an errno: a
  // piece that starts otherwise ("SIGHUP6") begins with another's token.
  if (!result.empty() && !digit(result[0]) && result[0] != '-') return false;
  const bool error = result.rfind("-1 errno=", 0) == 0;
  if (!line) return result == "0";
  const std::string text(result);
  char *end = nullptr;
  const long long value = std::strtoll(text.c_str() + (error ? 9 : 0), &end, 0);
  if (end == text.c_str() + (error ? 9 : 0))
    return true;  // not a number: anything may fit
  return can_return(line->name, error ? -1 : value, error ? value : 0,
                    line->count);
}

// write's and read's byte count: name(fd,buf,count).
void set_count(Line &line) {
  if (line.name != "write" && line.name != "read") return;
  const std::size_t comma = line.text.rfind(',');
  if (comma != std::string::npos)
    line.count = std::strtoll(line.text.c_str() + comma + 1, nullptr, 0);
}

// Args of a line whose arguments the piece continues: brackets counted
// outside strings. Returns where the arguments close, or npos.
std::size_t take_args(Line &line, std::string_view piece) {
  for (std::size_t i = 0; i < piece.size(); ++i) {
    const char c = piece[i];
    if (c == '"') {
      i = string_end(piece, i) - 1;
    } else if (c == '(' || c == '[' || c == '{') {
      ++line.depth;
    } else if (c == ')' || c == ']' || c == '}') {
      if (--line.depth == 0) {
        line.text.append(piece.substr(0, i + 1));
        line.closed = true;
        return i + 1;
      }
    }
  }
  line.text.append(piece);
  return std::string_view::npos;
}

bool upper(char c) {
  return c >= 'A' && c <= 'Z';
}

// The next token of the signal set that LINE is writing, at the start of
// TEXT: qemu 10 writes a set a piece a token, "[", "SIGHUP", " ", ...,
// "35", "]", and another process's piece may follow a token with nothing
// between: "SIGBUS" "538\n", "36" "149\n", "[" "73\n". A token is "["
// after a comma, a signal's name (SIGUSR1's digit too), or the number one
// above the last (32 to 35 after the names: the first real-time signals).
// Its length, or 0.
std::size_t set_token(const std::string &line, std::string_view text) {
  if (text.empty()) return 0;
  if (text[0] == '[') return !line.empty() && line.back() == ',' ? 1 : 0;
  const std::size_t open = line.rfind('[');
  if (open == std::string::npos || line.find(']', open) != std::string::npos)
    return 0;
  if (text.rfind("SIG", 0) == 0) {
    std::size_t n = 3;
    while (n < text.size() && upper(text[n])) ++n;
    if (text.compare(n - 3, 3, "USR") == 0 && n < text.size() && digit(text[n]))
      ++n;
    return n > 3 ? n : 0;
  }
  if (!digit(text[0])) return 0;
  std::string_view body(line);
  while (!body.empty() && body.back() == ' ') body.remove_suffix(1);
  const std::string_view last = body.substr(body.find_last_of(" [") + 1);
  if (last.rfind("SIG", 0) == 0) {
    for (const std::string_view first : {"32", "33", "34", "35"})
      if (text.rfind(first, 0) == 0) return first.size();
    return 0;
  }
  if (last.empty() || last.size() > 2 ||
      last.find_first_not_of("0123456789") != std::string_view::npos)
    return 0;
  const std::string next =
      std::to_string(std::atoi(std::string(last).c_str()) + 1);
  return text.rfind(next, 0) == 0 ? next.size() : 0;
}

class Pieces {
 public:
  std::string read(std::string_view text);
  const std::vector<Writer> &writers() const {
    return writers_;
  }

 private:
  struct Waiting {
    std::size_t writer;  // npos: a child's half of clone
    std::size_t line;
  };
  void head(std::string_view &text);
  void other(std::string_view &text);
  void close_args(std::size_t writer, std::string_view &text);
  std::string_view result_piece(std::string_view &text);
  Line *waiting_line(const Waiting &w) {
    return w.writer == std::string_view::npos
               ? nullptr
               : &writers_[w.writer].lines[w.line];
  }
  std::vector<Writer> writers_;
  std::map<long, std::size_t> index_;  // pid -> writer
  std::deque<Waiting> waiting_;        // lines closed and without a result
  std::deque<std::size_t> open_;       // writers whose arguments are open
  std::size_t separators_ = 0;         // " = " not yet followed by a result
};

// How far to look for a line that can take a piece: a hostile report with
// thousands of open lines is read in linear time.
constexpr std::size_t kLookAhead = 64;

// A run of text up to a line feed, a separator or another process's head,
// taken off TEXT with the line feeds after it.
std::string_view Pieces::result_piece(std::string_view &text) {
  std::size_t stop = 0;
  while (stop < text.size() && text[stop] != '\n' &&
         text.compare(stop, 3, " = ") != 0 && !head_at(text, stop))
    ++stop;
  const std::string_view piece = text.substr(0, stop);
  text.remove_prefix(stop);
  while (!text.empty() && text[0] == '\n') text.remove_prefix(1);
  return piece;
}

// The arguments of the writer's last line have closed. A result right
// after them, " = 7", is that line's: whoever else wrote between, nobody
// wrote there. Otherwise the line waits for its result.
void Pieces::close_args(std::size_t writer, std::string_view &text) {
  Line &line = writers_[writer].lines.back();
  if (line.name == "exit_group" || line.name == "exit") {
    line.done = true;  // it does not return
    return;
  }
  const bool fork =
      line.name == "clone" || line.name == "fork" || line.name == "vfork";
  set_count(line);
  if (text.substr(0, 3) == " = " && text.substr(3, 3) != " = " &&
      !head_at(text, 3)) {
    std::string_view rest = text.substr(3);
    const std::string_view piece = result_piece(rest);
    if (fits(&line, piece)) {  // else the child's half of a clone, say
      text = rest;
      line.text += " = " + std::string(piece);
      line.has_result = line.done = true;
      if (fork) waiting_.push_back({std::string_view::npos, 0});
      return;
    }
  }
  waiting_.push_back({writer, writers_[writer].lines.size() - 1});
  if (fork) waiting_.push_back({std::string_view::npos, 0});  // the child's
}

void Pieces::head(std::string_view &text) {
  std::size_t k = 0;
  while (digit(text[k])) ++k;
  const long pid =
      std::strtol(std::string(text.substr(0, k)).c_str(), nullptr, 10);
  text.remove_prefix(k + 1);
  auto found = index_.find(pid);
  if (found == index_.end()) {
    found = index_.emplace(pid, writers_.size()).first;
    writers_.push_back({pid, {}});
  }
  const std::size_t writer = found->second;
  Line line;
  std::size_t name_end = 0;
  while (name_end < text.size() && word_char(text[name_end])) ++name_end;
  line.name = call_name(text.substr(0, name_end));
  writers_[writer].lines.push_back(std::move(line));
  Line &added = writers_[writer].lines.back();
  if (name_end >= text.size() || text[name_end] != '(') {
    // "PID Unknown syscall 334": a line of its own
    const std::size_t eol = text.find('\n');
    added.text = std::string(text.substr(0, eol));
    added.closed = added.done = true;
    text.remove_prefix(eol == std::string_view::npos ? text.size() : eol);
    return;
  }
  added.text = added.name;
  text.remove_prefix(name_end);
  // The arguments, up to where they close, a line ends, a separator comes
  // or another process's piece begins; a string is passed over whole.
  std::size_t stop = 0;
  while (stop < text.size() && text[stop] != '\n' &&
         text.compare(stop, 3, " = ") != 0 &&
         !(stop > 0 && head_at(text, stop)))
    stop = text[stop] == '"' ? string_end(text, stop) : stop + 1;
  // No argument ends a line: digits that end one right after "(" or ","
  // are another process's result, "1261 rt_sigprocmask(" "1263\n".
  std::size_t args_end = stop;
  if (stop < text.size() && text[stop] == '\n') {
    while (args_end > 1 && digit(text[args_end - 1])) --args_end;
    if (args_end == stop ||
        (text[args_end - 1] != '(' && text[args_end - 1] != ','))
      args_end = stop;
  }
  const std::size_t closed = take_args(added, text.substr(0, args_end));
  if (closed != std::string_view::npos) {
    text.remove_prefix(closed);
    close_args(writer, text);
  } else {
    text.remove_prefix(args_end);
    open_.push_back(writer);
    if (args_end < stop && !separators_) ++separators_;
  }
}

void Pieces::other(std::string_view &text) {
  if (text.substr(0, 3) == " = ") {
    ++separators_;
    text.remove_prefix(3);
    return;
  }
  while (!open_.empty() && writers_[open_.front()].lines.back().closed)
    open_.pop_front();  // its process began another line meanwhile
  if (!open_.empty()) {
    Line &line = writers_[open_.front()].lines.back();
    if (const std::size_t token = set_token(line.text, text)) {
      take_args(line, text.substr(0, token));
      text.remove_prefix(token);
      return;
    }
  }
  const char *const start = text.data();
  std::string_view piece = result_piece(text);
  if (piece.empty()) return;
  const bool line_end = text.data() > piece.data() + piece.size();
  bool args_like = piece.find_first_of(",)]}") != std::string_view::npos &&
                   piece.rfind("-1 errno=", 0) != 0;
  // qemu 10 writes an argument a piece, "SIG_SETMASK,", which another
  // process's result may follow: "SIG_SETMASK," "1256\n". No argument ends
  // a line: the number is that result.
  const std::size_t comma = piece.rfind(',');
  if (args_like && line_end && !open_.empty() && comma + 1 < piece.size() &&
      piece.find_first_not_of("0123456789", comma + 1) == std::string::npos &&
      piece.data() == start) {
    take_args(writers_[open_.front()].lines.back(), piece.substr(0, comma + 1));
    piece.remove_prefix(comma + 1);
    args_like = false;
    if (!separators_) ++separators_;  // its " = " came before the argument
  }
  if (!open_.empty() && (args_like || separators_ == 0)) {
    const std::size_t writer = open_.front();
    Line &line = writers_[writer].lines.back();
    const std::size_t closed = take_args(line, piece);
    if (closed != std::string_view::npos) {
      open_.pop_front();
      close_args(writer, text);  // the piece ended where " = " may begin
    }
    return;
  }
  // A result: to the first waiting line it can be the result of, else to
  // the first waiting line.
  std::size_t chosen = std::string_view::npos;
  for (std::size_t i = 0; i < waiting_.size() && i < kLookAhead; ++i) {
    if (fits(waiting_line(waiting_[i]), piece)) {
      chosen = i;
      break;
    }
  }
  if (chosen == std::string_view::npos && !waiting_.empty()) chosen = 0;
  if (chosen == std::string_view::npos) return;  // nobody's: left out
  if (separators_) --separators_;
  if (Line *line = waiting_line(waiting_[chosen])) {
    line->text += " = " + std::string(piece);
    line->has_result = line->done = true;
  }
  waiting_.erase(waiting_.begin() + static_cast<long>(chosen));
}

std::string Pieces::read(std::string_view text) {
  std::size_t heads = 0;
  while (!text.empty()) {
    if (text[0] == '\n') {
      text.remove_prefix(1);
    } else if (head_at(text, 0)) {
      if (++heads > kMaxCalls)
        return "the report holds more than " + std::to_string(kMaxCalls) +
               " calls, more than these programs can give rise to";
      head(text);
    } else {
      other(text);
    }
  }
  for (const Writer &writer : writers_) {
    for (const Line &line : writer.lines) {
      if (line.text.size() > kMaxLine)
        return "a call of process " + std::to_string(writer.pid) +
               " in the report is " + std::to_string(line.text.size()) +
               " characters long";
    }
  }
  return "";
}

}  // namespace

namespace {

// The process ids that begin a line of the report.
std::set<std::string_view> line_ids(std::string_view text) {
  std::set<std::string_view> ids;
  for (std::string_view rest = text; !rest.empty();) {
    const std::string_view line = next_line(rest);
    std::size_t k = 0;
    while (k < line.size() && k < 10 && digit(line[k])) ++k;
    if (k > 0 && k < line.size() && line[k] == ' ')
      ids.insert(line.substr(0, k));
  }
  return ids;
}

}  // namespace

// qemu on an unbuffered standard error writes a line's pieces apart, and
// another process's result can come between a head's id and its name:
// " = " "2225 " "0\n" "exit_group(0)\n". The head is put together again after
// that piece, on a line of its own: " = 0\n2225 exit_group(0)\n". Its id
// is one that begins a line elsewhere; the piece, a number or a line feed.
std::string heads_rejoined(std::string_view text) {
  const std::set<std::string_view> ids = line_ids(text);
  constexpr std::size_t kPiece = 24;
  auto in_piece = [](char c) { return digit(c) || c == '\n' || c == '-'; };
  std::string out;
  out.reserve(text.size());
  // An id whose name comes on a later line, after another process's line
  // or the rest of it: "11943 " "11937 exit_group(0)\n" "exit_group(0)\n", or
  // "16758 write(1,0x2010,6)" "16763 " " = 6\n" "set_robust_list(...)", or
  // "16428 set_robust_list(...)" " = " "16426 " "-1 errno=38 (...)\n"
  // "getppid()".
  std::string waiting_id;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (!waiting_id.empty() && i > 0 && text[i - 1] == '\n' &&
        word_start(text[i]) && !digit(text[i])) {
      out += waiting_id;
      waiting_id.clear();
    }
    if (text[i] != ' ' || i == 0 || !digit(text[i - 1])) {
      out += text[i];  // only an id's space can start a head
      continue;
    }
    std::size_t start = i;
    while (start > 0 && i - start < 10 && digit(text[start - 1])) --start;
    std::size_t name = i + 1;  // past the piece between
    while (name < text.size() && name - i <= kPiece && in_piece(text[name]) &&
           !(text[name] == '\n' && name + 1 < text.size() &&
             word_start(text[name + 1]) && !digit(text[name + 1])))
      ++name;
    if (name < text.size() && text[name] == '\n') ++name;
    std::size_t call = name;
    while (call < text.size() && word_char(text[call])) ++call;
    std::size_t id = start;  // the shortest prefix that leaves a known id
    while (id < i && !ids.count(text.substr(id, i - id))) ++id;
    // Another process's separator between an id and its name: "21591 "
    // " = " "getppid()": the separator goes first, then the whole head.
    std::size_t after = i + 4;
    while (after < text.size() && word_char(text[after])) ++after;
    if (id == start && id < i && text.compare(i + 1, 3, " = ") == 0 &&
        i + 4 < text.size() && word_start(text[i + 4]) && !digit(text[i + 4]) &&
        after < text.size() && text[after] == '(') {
      out.resize(out.size() - (i - start));
      out += " = ";
      out.append(text.substr(start, i - start + 1));
      i += 3;  // on to the name
      continue;
    }
    const bool named_piece =
        !(text[i] != ' ' || start == i || name == i + 1 || call == name ||
          digit(text[name]) || call >= text.size() || text[call] != '(' ||
          id == i);
    if (!named_piece && text[i] == ' ' && id == start && id < i &&
        waiting_id.empty() && i + 1 < text.size() &&
        !(word_start(text[i + 1]) && !digit(text[i + 1])) &&
        (start == 0 || text[start - 1] == '\n' || text[start - 1] == ')' ||
         (start >= 3 && text.compare(start - 3, 3, " = ") == 0))) {
      waiting_id = std::string(text.substr(id, i - id)) + " ";
      out.resize(out.size() - (i - start));
      continue;
    }
    if (!named_piece) {
      out += text[i];
      continue;
    }
    out.resize(out.size() - (i - start));
    out.append(text.substr(start, id - start));    // the result before it
    out.append(text.substr(i + 1, name - i - 1));  // the piece between
    if (out.empty() || out.back() != '\n') out += '\n';
    out.append(text.substr(id, i - id));
    out += ' ';
    i = name - 1;  // on to the name
  }
  return out;
}

namespace {

// A head that another process's piece ends in a word right before, as
// "...,NULL" "7204 write(": a known id right after a letter, and a name and
// its bracket after it, begins a line of its own.
std::string heads_apart(std::string_view text) {
  const std::set<std::string_view> ids = line_ids(text);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    // Or right after another process's number, "37" "200 set_tid_address(":
    // digits that are no known id, of which the last are one.
    if (i > 0 && digit(text[i]) && !digit(text[i - 1])) {
      std::size_t k = i;
      while (k < text.size() && k - i < 20 && digit(text[k])) ++k;
      std::size_t name = k + 1;
      while (name < text.size() && word_char(text[name])) ++name;
      const bool head = k < text.size() && text[k] == ' ' && name > k + 1 &&
                        name < text.size() && text[name] == '(' &&
                        word_start(text[k + 1]);
      if (head && !ids.count(text.substr(i, k - i))) {
        std::size_t id = i + 1;
        while (id < k && !ids.count(text.substr(id, k - id))) ++id;
        if (id < k) {
          out.append(text.substr(i, id - i));
          out += '\n';
          i = id;
        }
      }
    }
    if (i > 0 && digit(text[i]) && word_start(text[i - 1])) {
      std::size_t k = i;
      while (k < text.size() && k - i < 10 && digit(text[k])) ++k;
      std::size_t name = k + 1;
      while (name < text.size() && word_char(text[name])) ++name;
      if (k < text.size() && text[k] == ' ' && name > k + 1 &&
          name < text.size() && text[name] == '(' &&
          ids.count(text.substr(i, k - i)))
        out += '\n';
    }
    out += text[i];
  }
  return out;
}

}  // namespace

std::string read_qemu(std::string_view text, std::vector<Process> &out) {
  Pieces pieces;
  const std::string rejoined = heads_rejoined(heads_apart(text));
  std::string problem = pieces.read(rejoined);
  if (!problem.empty()) return problem;
  std::vector<Lines> processes;
  for (const Writer &writer : pieces.writers()) {
    processes.push_back({writer.pid, {}});
    for (const Line &line : writer.lines)
      processes.back().lines.push_back(line.text);
  }
  read_calls(processes, out, [](const std::string &, Call &call) {
    // Some pointers come in decimal (pread64(4, 274919869408, ...), and
    // in qemu 10 arch_prctl(4098, ..., -140620743602384)): a number past
    // 32 bits is an address.
    for (Arg &arg : call.args) {
      if (arg.kind == Arg::kNumber &&
          arg.text.size() - (arg.text[0] == '-' ? 1 : 0) > 10) {
        arg.kind = Arg::kAddress;
        arg.text = "ADDR";
      }
    }
    if (call.is_call && (call.name == "exit_group" || call.name == "exit") &&
        !call.has_result) {
      call.has_result = true;  // it does not return
      call.result = "?";
    }
    return Keep::kCall;
  });
  return "";
}

}  // namespace probes
