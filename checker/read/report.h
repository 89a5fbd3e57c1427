// SPDX-FileCopyrightText: 2026 The syscall-probes authors
// SPDX-License-Identifier: MIT
// A report read into calls: each process with the calls it made, each call
// with its name, arguments and result. Reading knows the observers' formats;
// judging (judge.h) knows only calls.
#pragma once
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace probes {

// What a report of our programs can hold at most: a few kilobytes are usual.
constexpr std::size_t kMaxReport = 4 << 20;
constexpr std::size_t kMaxLine = 8192;
// No call of these programs has more than six arguments, nor a report of
// them thousands of calls: bounds that keep a hostile report's reading small.
constexpr std::size_t kMaxArgs = 16;
constexpr std::size_t kMaxCalls = 20000;

struct Arg {
  enum Kind { kNumber, kString, kFlags, kAddress, kNull, kStructure, kOther };
  Kind kind = kOther;
  std::string key;   // "flags" of strace's flags=..., else empty
  std::string text;  // as shown, padding folded and addresses as ADDR
  bool cut = false;  // a string the observer cut short: "..."...
  std::string raw;   // as the observer wrote it
  std::string path;  // what strace -y names a descriptor by: 3</dir/probe5.cpp>
};

// What a call returned, as far as the report shows it. Readers fill it from
// whatever the observer wrote ("-1 EBADF (Bad file descriptor)", "-EBADF",
// "-1 errno=9", "0x3", "?"); judging looks at nothing else.
struct Returned {
  enum class Kind {
    kNotShown,   // the line has no result
    kUnknown,    // "?": not known, or the call did not return
    kVoid,       // ltrace's <void>: the function returns nothing
    kValue,      // a number: 3, 0x7f12, -1 where no error is named
    kError,      // -1 and an error: value -1, error its number
    kStandsFor,  // what a reference writes for a value that varies
    kOther,      // anything else, compared as shown
  };
  Kind kind = Kind::kNotShown;
  long long value = 0;
  long long error = 0;  // kError: errno's number; -1 for a name unknown
  bool named = false;   // kError: the report names it (EBADF), not 9 only
  std::string text;     // kStandsFor: ADDR, ERRNO, PID, CHILD, PARENT;
                        // kOther: as shown
  bool shown() const {
    return kind != Kind::kNotShown && kind != Kind::kUnknown;
  }
  bool operator==(const Returned &other) const {
    return kind == other.kind && value == other.value && error == other.error &&
           text == other.text;
  }
};
// The result that a report writes as TEXT.
Returned result_of(std::string_view text);

// How a process ended, as a line of the report says: "+++ exited with 0
// +++", ltrace's "+++ exited (status 0) +++", "+++ killed by SIGKILL +++".
struct Ended {
  enum class How { kNot, kExited, kKilled, kUnsaid };
  How how = How::kNot;  // kUnsaid: "+++ exited +++", or what is not read
  long long status = 0;
  std::string signal;  // SIGKILL
  bool operator==(const Ended &other) const {
    return how == other.how && status == other.status && signal == other.signal;
  }
};

struct Call {
  bool is_call = false;  // false: a line that is no call (+++ exited ..., ---)
  std::string name;
  std::vector<Arg> args;
  bool closed = true;  // false: the arguments run into a mark such as
  std::string mark;    // <no return ...>
  bool has_result = false;
  std::string result;       // 3, -1 EBADF (Bad file descriptor), ?, PID ...
  std::string result_raw;   // as the observer wrote it, when it differs
  std::string result_path;  // strace -y: the file a returned descriptor names
  Returned returned;        // the result, typed: what judging compares
  std::string resumed;      // ltrace's "<... fork resumed> ) = 0": fork
  std::string text;         // the whole line as shown, padding folded
  Ended ended;              // a line that says how the process ended
  bool is_end() const {
    return ended.how != Ended::How::kNot;
  }
};

struct Process {
  long pid = -1;  // -1: the report gives it no id
  std::vector<Call> calls;
  std::size_t left_aside = 0;  // lines read, and known to be no call of its
};

enum class Format {
  kStrace,
  kLtrace,
  kQemu,
  kValgrind,
  kPerf,
  kUftrace,
  kJson
};

// The format by its name (strace, ltrace, qemu, valgrind, perf, uftrace,
// json);
// false if there is none such.
bool format_named(std::string_view name, Format &format);
std::string format_name(Format format);

// The format of a report, told by its framing: valgrind's "==PID==" and
// "SYSCALL[", uftrace's "[ TID] | ", perf's "( 0.001 ms): ", ltrace's
// "+++ exited (status N) +++", qemu's "PID name(a,b)" and "errno=", JSON
// lines' "{";
// strace's, the C-like lines that the rest share, when none of these shows.
Format format_of(std::string_view report);
// Why a report was not read as FORMAT, when most of its lines were not:
// "N of M lines read as FORMAT; the first that is not, line K: ...", or "".
std::string unread(std::string_view report, const std::vector<Process> &read,
                   Format format);

// How far a format decodes the calls, and so how far a report in it can be
// held against a reference.
struct Decoding {
  bool system_calls = true;     // else calls into the C library (.ltrace)
  bool zeros_left_out = false;  // an argument that is zero may be left out
  bool exits_shown = true;      // "+++ exited ..." lines
  bool in_process = false;      // the program runs in the observer's process
};
Decoding decoding_of(Format format);
// The same for a report in it: JSON lines may show system calls or calls
// into the C library, told by the calls it names.
Decoding decoding_of(Format format, std::string_view report);

// Reads the bytes of a report, or of a reference file, written in the format
// given. Returns an empty string, or one line on why it cannot be read.
std::string read_report(std::string_view bytes, Format format,
                        std::vector<Process> &out);

// One call line in the C-like syntax that strace and ltrace share:
// name(arg, arg) = result, or a line that is no call.
Call parse_call(std::string_view line);

// A call's name as a report writes it, or the name of the call that
// "syscall_0x1" or "syscall_1" stands for in the ABI read.
std::string call_name(std::string_view written);
// The call as one line again, from its parts.
std::string render(const Call &call);
// Types the call's result from its text, once a reader has set that.
void type_result(Call &call);

// The readers of each format: the lines of one process each, joined where an
// observer cut a call in two, turned into calls.
struct Lines {
  long pid;
  std::vector<std::string> lines;
};
// Takes the process id off the front of a line: "1234  call" or
// "[pid  1234] call". False, the line unchanged, when there is none.
bool pid_prefix(std::string_view &line, long &pid);
std::string split_processes(std::string_view text, std::vector<Lines> &out);
// The readers' common ending: each process's lines parsed into calls, a
// descriptor's path (3</dir/file>) kept apart, and then set right by FIX,
// when given, for what the reader's format shows its own way: the call is
// kept, left out, or the last of its process that counts.
enum class Keep { kCall, kSkip, kStop };
using Fix = Keep (*)(const std::string &line, Call &call);
void read_calls(const std::vector<Lines> &processes, std::vector<Process> &out,
                Fix fix = nullptr);
// The same for TEXT as lines of "PID call", split into processes first; one
// line on why it cannot be read, or "".
std::string read_lines(std::string_view text, std::vector<Process> &out,
                       Fix fix = nullptr);
// Each reader: the text of a report that is known to be text, or one line
// on why it cannot be read.
std::string read_strace(std::string_view text, std::vector<Process> &out);
std::string read_ltrace(std::string_view text, std::vector<Process> &out);
std::string read_qemu(std::string_view text, std::vector<Process> &out);
std::string read_valgrind(std::string_view text, std::vector<Process> &out);
std::string read_perf(std::string_view text, std::vector<Process> &out);
std::string read_uftrace(std::string_view text, std::vector<Process> &out);
std::string read_json(std::string_view text, std::vector<Process> &out);
// Whether JSON lines show calls into the C library, not system calls.
bool json_library_view(std::string_view text);
// A call's result as the references give it: -1 EBADF for an error number.
std::string result_with_error(long long value, long long error);

// strace -y and perf show "3</dir/probe5.cpp>": the descriptor 3, and its
// path kept apart in Arg::path and Call::result_path. Whether it had any.
bool take_paths(Call &call);

// The line at the front of TEXT, which is left with what follows it.
std::string_view next_line(std::string_view &text);
// The end of the quoted string that starts at s[i] ('"'), past its closing
// quote; s.size() when it is not closed.
std::size_t string_end(std::string_view s, std::size_t i);

// Bytes as the references quote strings: "12345\n".
std::string quote(std::string_view bytes);
// The bytes of a quoted string, its C, octal and \x escapes undone, and
// whether the observer cut it short ("..." after it). nullopt for anything
// that is not one quoted string.
std::optional<std::string> unquote(std::string_view quoted, bool &cut);

}  // namespace probes
