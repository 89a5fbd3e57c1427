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
#include <optional>
#include <set>
#include <string>

#include "calls/calls.h"
#include "read/report.h"

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
  const std::size_t name = k;
  while (k < text.size() && word_char(text[k])) ++k;
  return k < text.size() &&
         (text[k] == '(' ||
          (text[k] == ' ' && text.substr(name, k - name) == "Unknown"));
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
// A call that returns its caller's own id, in a program of one thread:
// only that id fits it, whatever else another process's piece offers.
bool own_id(const Line *line, std::string_view result, long pid) {
  if (!line || (line->name != "getpid" && line->name != "gettid" &&
                line->name != "set_tid_address"))
    return true;
  return result == std::to_string(pid);
}

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

// Linux's signals by number, as qemu names them in a set.
constexpr std::string_view kSignals[] = {
    "",        "SIGHUP",  "SIGINT",    "SIGQUIT", "SIGILL",    "SIGTRAP",
    "SIGIOT",  "SIGBUS",  "SIGFPE",    "SIGKILL", "SIGUSR1",   "SIGSEGV",
    "SIGUSR2", "SIGPIPE", "SIGALRM",   "SIGTERM", "SIGSTKFLT", "SIGCHLD",
    "SIGCONT", "SIGSTOP", "SIGTSTP",   "SIGTTIN", "SIGTTOU",   "SIGURG",
    "SIGXCPU", "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH",  "SIGIO",
    "SIGPWR",  "SIGSYS"};
constexpr int kLastSignal = 64;

// A set's token at the start of TEXT: a signal's name, or a real-time
// signal's number (two digits), with its length; 0 for neither.
int signal_at(std::string_view text, std::size_t &length) {
  int found = 0;
  length = 0;
  for (int number = 1; number < static_cast<int>(std::size(kSignals));
       ++number) {
    const std::string_view name = kSignals[number];
    if (text.rfind(name, 0) == 0 && name.size() > length)
      found = number, length = name.size();
  }
  if (found || text.size() < 2 || !digit(text[0]) || !digit(text[1]))
    return found;
  const int number = (text[0] - '0') * 10 + (text[1] - '0');
  if (number < 32 || number > kLastSignal) return 0;
  length = 2;
  return number;
}

// Whether a signal's name begins at text[i]: a result glued to a set's
// token, "6" "SIGSEGV".
bool signal_name_at(std::string_view text, std::size_t i) {
  std::size_t length = 0;
  const int number = signal_at(text.substr(i), length);
  return number > 0 && number < 32;
}

// Whether a set's token NUMBER can follow its last LAST: a name any higher
// one, a real-time signal's number only the one before it, or the last name
// (32 to 35: the C library's own ones may be left out). The sets of these
// programs hold every signal, or none: a number that does not follow is
// another process's result, such as getppid's.
bool follows(int last, int number) {
  if (number < 32) return last < number;
  return last == number - 1 || (last == 31 && number <= 35);
}

// The last signal of the set that LINE is writing (0 for none yet), or -1
// where it writes none.
int last_signal(const std::string &line) {
  const std::size_t open = line.rfind('[');
  if (open == std::string::npos || line.find(']', open) != std::string::npos)
    return -1;
  int last = 0;
  for (std::size_t i = open + 1; i < line.size();) {
    std::size_t length = 0;
    const int number = signal_at(std::string_view(line).substr(i), length);
    if (number) last = number;
    i += length ? length : 1;
  }
  return last;
}

// A call's name, "getppid(", at the start of TEXT: a word and its bracket.
bool name_at(std::string_view text) {
  std::size_t k = 0;
  while (k < text.size() && word_char(text[k])) ++k;
  std::size_t length = 0;
  return k > 0 && word_start(text[0]) && k < text.size() && text[k] == '(' &&
         signal_at(text, length) == 0;
}

class Pieces {
 public:
  // IDS: the process ids that begin a line somewhere in TEXT.
  std::string read(std::string_view text, std::set<long> ids);
  const std::vector<Writer> &writers() const {
    return writers_;
  }

 private:
  struct Waiting {
    std::size_t writer;  // npos: a child's half of clone
    std::size_t line;
  };
  void head(std::string_view &text);
  void named(long pid, std::string_view &text);
  long id_piece(std::string_view text);
  void other(std::string_view &text);
  bool set_piece(std::string_view &text);
  void give_result(std::string_view piece);
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
  std::size_t recent_ = std::string_view::npos;  // the last set's writer
  // A result given while another line waited for its last argument, which
  // may have come glued in front of it: "8" "4785\n".
  std::optional<Waiting> glued_;
  long pending_id_ = 0;  // an id on its own, whose name is still to come
  std::set<long> ids_;   // the ids that begin a line of the report
};

// How far to look for a line that can take a piece: a hostile report with
// thousands of open lines is read in linear time.
constexpr std::size_t kLookAhead = 64;

// A run of text up to a line feed, a separator or another process's head,
// taken off TEXT with the line feeds after it.
std::string_view Pieces::result_piece(std::string_view &text) {
  std::size_t stop = 0;
  while (stop < text.size() && text[stop] != '\n' &&
         text.compare(stop, 3, " = ") != 0 && !head_at(text, stop) &&
         !(pending_id_ && name_at(text.substr(stop))) &&
         !(stop > 0 && digit(text[stop - 1]) && signal_name_at(text, stop)))
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
    if (fits(&line, piece) &&
        own_id(&line, piece, writers_[writer].pid)) {  // else the child's
                                                       // half of a clone
      text = rest;
      line.text += " = " + std::string(piece);
      line.has_result = line.done = true;
      const Line *open =
          open_.empty() ? nullptr : &writers_[open_.front()].lines.back();
      if (open && !open->closed && !open->text.empty() &&
          open->text.back() == ',')
        glued_ = Waiting{writer, writers_[writer].lines.size() - 1};
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
  named(pid, text);
}

// A known process's id on its own, "15906 ", whose call's name comes after
// another process's piece: "15906 " "NULL," "getppid()". Not a set's token.
long Pieces::id_piece(std::string_view text) {
  std::size_t k = 0;
  while (k < text.size() && k < 10 && digit(text[k])) ++k;
  if (k == 0 || k >= text.size() || text[k] != ' ' || head_at(text, 0))
    return 0;
  const long id =
      std::strtol(std::string(text.substr(0, k)).c_str(), nullptr, 10);
  if (!index_.count(id) && !ids_.count(id)) return 0;
  // After a separator, a result that a waiting line can have is that:
  // set_tid_address's is its caller's id.
  for (std::size_t i = 0; separators_ && i < waiting_.size() && i < kLookAhead;
       ++i)
    if (fits(waiting_line(waiting_[i]), text.substr(0, k))) return 0;
  for (std::size_t i = 0; i < open_.size() && i < kLookAhead; ++i) {
    const Line &line = writers_[open_[i]].lines.back();
    const int last = line.closed ? -1 : last_signal(line.text);
    if (last >= 0 && id <= kLastSignal && follows(last, static_cast<int>(id)))
      return 0;
  }
  return id;
}

void Pieces::named(long pid, std::string_view &text) {
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
  // ... or another's id on its own, outside a set of this call's.
  std::size_t stop = 0;
  for (int sets = 0;
       stop < text.size() && text[stop] != '\n' &&
       text.compare(stop, 3, " = ") != 0 &&
       !(stop > 0 && head_at(text, stop)) &&
       !(stop > 0 && !digit(text[stop - 1]) &&
         id_piece(text.substr(stop)) > (sets ? kLastSignal : 0));) {
    sets += text[stop] == '[' ? 1 : text[stop] == ']' ? -1 : 0;
    stop = text[stop] == '"' ? string_end(text, stop) : stop + 1;
  }
  // No argument ends a line: digits that end one right after "(" or ","
  // are another process's result, "1261 rt_sigprocmask(" "1263\n". And
  // while another line writes a signal set, what follows "name(" may be
  // its tokens: each piece is placed on its own.
  std::size_t args_end = stop;
  bool result_after = false;
  if (stop < text.size() && text[stop] == '\n') {
    while (args_end > 1 && digit(text[args_end - 1])) --args_end;
    result_after = args_end < stop &&
                   (text[args_end - 1] == '(' || text[args_end - 1] == ',');
    if (!result_after) args_end = stop;
  }
  bool set_open = false;
  for (std::size_t k = 0; k < open_.size() && k < kLookAhead; ++k) {
    const Line &open = writers_[open_[k]].lines.back();
    set_open |= !open.closed && last_signal(open.text) >= 0;
  }
  // An argument holds no space and no signal's name outside its own set:
  // one there is another set's token.
  for (std::size_t k = 1, own = 0; set_open && k < args_end;) {
    std::size_t length = 0;
    own += text[k] == '[';
    if (!own && (text[k] == ' ' ||
                 (text[k] == 'S' && signal_at(text.substr(k), length) > 0 &&
                  signal_at(text.substr(k), length) < 32))) {
      args_end = k;
      result_after = false;
    } else {
      k = text[k] == '"' ? string_end(text, k) : k + 1;
    }
  }
  const std::size_t closed = take_args(added, text.substr(0, args_end));
  if (closed != std::string_view::npos) {
    text.remove_prefix(closed);
    close_args(writer, text);
  } else {
    text.remove_prefix(args_end);
    open_.push_back(writer);
    if (result_after && !separators_) ++separators_;
  }
}

// qemu 10 writes a signal set a piece a token, "[", "SIGHUP", " ", ...,
// "35", "]", and another process's piece may come after any of them with
// nothing between: "SIGBUS" "538\n", "36" "149\n", "[" "73\n", or another
// set's token, "44" "849 rt_sigprocmask(" " " "SIG_SETMASK," "45" "[". While
// a line writes a set, a token at the start of TEXT goes to the line it can
// follow: "[" to one that ends in a comma, a signal to one whose set holds
// only lower ones, a space to one in a set, and an argument ("NULL,") to one
// that waits for one. Whether one was taken.
bool Pieces::set_piece(std::string_view &text) {
  struct Open {
    std::size_t writer;
    int last;  // its set's last signal; -1: it writes no set
  };
  std::vector<Open> lines;
  bool in_set = false;
  for (std::size_t k = 0; k < open_.size() && k < kLookAhead; ++k) {
    const Line &line = writers_[open_[k]].lines.back();
    if (line.closed) continue;
    lines.push_back({open_[k], last_signal(line.text)});
    in_set |= lines.back().last >= 0;
  }
  if (lines.empty() || text.empty()) return false;
  std::size_t length = 0;
  int number = signal_at(text, length);
  // Digits that are a process's id are a result (getppid's, fork's), not a
  // token: "3763\n", not "37" "63\n".
  std::size_t digits = 0;
  while (digits < text.size() && digits < 10 && digit(text[digits])) ++digits;
  if (number >= 32 && digits > 2 &&
      index_.count(std::strtol(std::string(text.substr(0, digits)).c_str(),
                               nullptr, 10)))
    number = 0;
  std::size_t chosen = std::string_view::npos;
  int chosen_last = -1;
  for (const Open &open : lines) {
    const std::string &written = writers_[open.writer].lines.back().text;
    // A signal follows the highest below it: two sets may be written at
    // once, "44" "[" "45" "SIGHUP" "46". A space or the set's end goes to
    // the set that took the last token.
    const bool takes =
        (text[0] == '[' && !written.empty() && written.back() == ',') ||
        (number && open.last >= 0 && follows(open.last, number) &&
         open.last > chosen_last) ||
        ((text[0] == ' ' || text[0] == ']') && open.last >= 0 &&
         (chosen == std::string_view::npos || open.writer == recent_));
    if (takes) chosen = open.writer, chosen_last = open.last;
  }
  if (chosen != std::string_view::npos && text.substr(0, 3) != " = ") {
    std::size_t taken = number ? length : 1;
    if (text[0] == ']' && text.substr(1, 1) == ",") taken = 2;
    if (text[0] != ' ')
      take_args(writers_[chosen].lines.back(), text.substr(0, taken));
    text.remove_prefix(taken);  // a space: none of the sets' meaning
    recent_ = chosen;
    return true;
  }
  // An argument whole, "SIG_SETMASK," or "NULL,", while another line
  // writes a set: to the line that waits for one.
  const std::size_t end = text.find_first_of(",) [\n");
  if (!in_set || end == std::string_view::npos || end == 0 ||
      (text[end] != ',' && text[end] != ')') || !word_start(text[0]))
    return false;
  for (const Open &open : lines) {
    Line &line = writers_[open.writer].lines.back();
    if (open.last >= 0 || line.text.empty() ||
        (line.text.back() != '(' && line.text.back() != ','))
      continue;
    take_args(line, text.substr(0, end + 1));
    text.remove_prefix(end + 1);
    return true;
  }
  return false;
}

void Pieces::other(std::string_view &text) {
  if (text.substr(0, 3) == " = ") {
    ++separators_;
    text.remove_prefix(3);
    return;
  }
  while (!open_.empty() && writers_[open_.front()].lines.back().closed)
    open_.pop_front();  // its process began another line meanwhile
  if (set_piece(text)) return;
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
    // Arguments that close with their last missing, "NULL," ")": it came
    // glued to the front of a result given meanwhile, "8" "4785\n".
    if (piece[0] == ')' && !line.text.empty() && line.text.back() == ',' &&
        glued_ && glued_->writer != writer) {
      Line &given = writers_[glued_->writer].lines[glued_->line];
      std::string &result = given.text;
      const std::size_t separator = result.rfind(" = ");
      const std::size_t at = separator + 3;
      if (separator != std::string::npos && at + 1 < result.size() &&
          digit(result[at]) && digit(result.back())) {
        // Its first digit or its last: for a process id, the one that
        // leaves the id nearest the caller's, as ids are given in turn.
        const long own = writers_[glued_->writer].pid;
        const auto distance = [own](const std::string &digits) {
          return std::labs(std::strtol(digits.c_str(), nullptr, 10) - own);
        };
        const bool last = returns_id(given.name) &&
                          distance(result.substr(at, result.size() - at - 1)) <
                              distance(result.substr(at + 1));
        const std::size_t moved = last ? result.size() - 1 : at;
        line.text += result[moved];
        result.erase(moved, 1);
      }
    }
    glued_.reset();
    const std::size_t closed = take_args(line, piece);
    if (closed != std::string_view::npos) {
      open_.pop_front();
      close_args(writer, text);  // the piece ended where " = " may begin
    }
    return;
  }
  give_result(piece);
}

// A result: to the first waiting line it can be the result of, else to the
// first waiting line.
void Pieces::give_result(std::string_view piece) {
  auto first_fit = [this](std::string_view result) {
    for (std::size_t i = 0; i < waiting_.size() && i < kLookAhead; ++i)
      if (fits(waiting_line(waiting_[i]), result) &&
          (waiting_[i].writer == std::string_view::npos ||
           own_id(waiting_line(waiting_[i]), result,
                  writers_[waiting_[i].writer].pid)))
        return i;
    return std::string_view::npos;
  };
  std::size_t chosen = first_fit(piece);
  // What no waiting line can return may be a last argument of a line that
  // waits for one and then the result: "8" "6\n" as "86", "NULL" "6\n" as
  // "NULL6".
  constexpr std::size_t kLongestArgument = 24;
  for (std::size_t split = 1;
       chosen == std::string_view::npos && split < piece.size() &&
       split <= kLongestArgument && !open_.empty() &&
       piece.find(' ') == std::string_view::npos;
       ++split) {
    Line &open = writers_[open_.front()].lines.back();
    if (open.text.empty() || open.text.back() != ',') break;
    chosen = first_fit(piece.substr(split));
    if (chosen != std::string_view::npos) {
      take_args(open, piece.substr(0, split));
      piece.remove_prefix(split);
    }
  }
  if (chosen == std::string_view::npos && !waiting_.empty()) chosen = 0;
  if (chosen == std::string_view::npos) return;  // nobody's: left out
  if (separators_) --separators_;
  if (Line *line = waiting_line(waiting_[chosen])) {
    line->text += " = " + std::string(piece);
    line->has_result = line->done = true;
    const Line *open =
        open_.empty() ? nullptr : &writers_[open_.front()].lines.back();
    if (open && !open->text.empty() && open->text.back() == ',')
      glued_ = waiting_[chosen];
  }
  waiting_.erase(waiting_.begin() + static_cast<long>(chosen));
}

std::string Pieces::read(std::string_view text, std::set<long> ids) {
  ids_ = std::move(ids);
  std::size_t heads = 0;
  while (!text.empty()) {
    if (text[0] == '\n') {
      text.remove_prefix(1);
    } else if (head_at(text, 0) || (pending_id_ && name_at(text))) {
      if (++heads > kMaxCalls)
        return "the report holds more than " + std::to_string(kMaxCalls) +
               " calls, more than these programs can give rise to";
      if (head_at(text, 0)) {
        head(text);
      } else {
        named(pending_id_, text);
        pending_id_ = 0;
      }
    } else if (const long id = id_piece(text)) {
      pending_id_ = id;
      text.remove_prefix(text.find(' ') + 1);
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
  std::set<long> ids;
  for (const std::string_view id : line_ids(rejoined))
    ids.insert(std::strtol(std::string(id).c_str(), nullptr, 10));
  std::string problem = pieces.read(rejoined, std::move(ids));
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
